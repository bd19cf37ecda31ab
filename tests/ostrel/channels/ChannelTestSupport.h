#pragma once

// Event channels over real loopback sockets: a web server on a free port whose
// ".ws" requests go to a channel manager of the test's own (and ".svc" calls to a
// service proxy of its own), an early-draft browser, and events published through
// the host's real dispatcher.

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/channels/ReliableHCListener.h"
#include "ostrel/services/ServiceProxy.h"
#include "ostrel/services/UIContexts.h"
#include "ostrel/services/KivraUIDescriptor.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/WebServer.h"
#include "ostrel/channels/HCServiceProxyWebSocketListenerFactory.h"
#include "ostrel/channels/WebSocketManager.h"
#include "support/Eventually.h"
#include "support/HttpExchange.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

constexpr const char* kEventTopic = "event:/KivraServices/KivraBusinessLogic/v1_0/";
constexpr const char* kReliableTopic = "event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/";

inline void publish(const std::string& topic, const std::string& text) {
  CommonMessageProperties properties;
  properties.setTargetTopic(topic);
  properties.setMessageType("event");
  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(std::make_shared<XMLPayload>(text));
  MessageDispatcher::getInstance()->post(message);
}

inline int threadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

// Starts the dispatcher's delivery threads, which live as long as the process,
// so that thread counts taken afterwards compare like with like.
inline void warmUpDispatcher() {
  struct Sink : IMessageSink {
    std::atomic<bool> got{false};
    void onMessage(uint64_t, const LocalMessagePtr&) override { got = true; }
  } sink;
  MessageDispatcher::getInstance()->subscribe(&sink, "test:/warm-up");
  publish("test:/warm-up", "");
  eventually([&] { return sink.got.load(); });
  MessageDispatcher::getInstance()->unsubscribe(&sink, "test:/warm-up");
}

// A browser of the early drafts, over a real socket.
class DraftBrowser {
 public:
  static constexpr const char* kKey1 = "4 @1  46546xW%0l 1 5";
  static constexpr const char* kKey2 = "12998 5 Y3 1  .P00";
  static constexpr const char* kKey3 = "^n:ds[4U";
  // As `origin`: a client that sends no Origin header at all.
  static constexpr const char* kNoOrigin = "<no origin>";

  DraftBrowser(int port, const std::string& uri, bool withKeys = true, const std::string& origin = "")
      : fd_(connectLoopback(port)) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    request_ = "GET " + uri + " HTTP/1.1\r\nHost: " + host + "\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n";
    if (origin != kNoOrigin) request_ += "Origin: " + (origin.empty() ? "http://" + host : origin) + "\r\n";
    if (withKeys) request_ += std::string("Sec-WebSocket-Key1: ") + kKey1 + "\r\nSec-WebSocket-Key2: " + kKey2 + "\r\n";
    request_ += "\r\n";
    if (withKeys) request_ += kKey3;
  }
  ~DraftBrowser() { closeNow(); }

  // Holds at most about that many unread bytes, however fast it read before.
  void limitReceiveBuffer(int bytes) { setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

  // Sends the request; `thenClose` ends the browser's side right after it.
  void open(bool thenClose = false) {
    ::send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL);
    if (thenClose) shutdown(fd_, SHUT_WR);
  }

  // The handshake reply: the head, plus `answerBytes` bytes behind it.
  std::string handshake(size_t answerBytes) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos && buffer_.size() >= end + 4 + answerBytes) {
        std::string reply = buffer_.substr(0, end + 4 + answerBytes);
        buffer_.erase(0, reply.size());
        return reply;
      }
      if (!fill(deadline)) return buffer_;
    }
  }

  // The payload of the next 0x00 ... 0xFF frame; "<none>" when none came in time.
  std::string frame(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (size_t scanned = 0;;) {
      size_t end = buffer_.find('\xFF', scanned);
      scanned = buffer_.size();
      if (end != std::string::npos) {
        std::string frame = buffer_.substr(0, end + 1);
        buffer_.erase(0, end + 1);
        if (frame.size() >= 2 && frame[0] == '\0') return frame.substr(1, frame.size() - 2);
        return "<bad frame: " + frame + ">";
      }
      if (!fill(deadline)) return "<none>";
    }
  }

  // True when the server ended the connection in time (everything unread is dropped).
  bool serverClosed(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (fill(deadline)) buffer_.clear();
    return closed_;
  }

  // 0 or 1: which of two browsers has data first; -1 when neither has in time.
  static int firstReadable(DraftBrowser& a, DraftBrowser& b) {
    if (!a.buffer_.empty()) return 0;
    if (!b.buffer_.empty()) return 1;
    pollfd p[2] = {{a.fd_, POLLIN, 0}, {b.fd_, POLLIN, 0}};
    if (poll(p, 2, 5000) <= 0) return -1;
    return p[0].revents ? 0 : 1;
  }

  void closeNow() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  bool fill(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return false;
    char bytes[4096];
    ssize_t n = recv(fd_, bytes, sizeof bytes, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(bytes, size_t(n));
    return true;
  }

  int fd_;
  std::string request_;
  std::string buffer_;
  bool closed_ = false;
};

// Remembers what its listeners heard.
class RecordingListener : public WebSocketListener {
 public:
  RecordingListener(const std::string& name, ReliableListener* reliable) : WebSocketListener(name, reliable) {}
  void onOpen(const std::string& request) override {
    WebSocketListener::onOpen(request);
    record("open");
  }
  void onClose() override {
    WebSocketListener::onClose();
    record("close");
  }
  void onAbort() override {
    WebSocketListener::onAbort();
    record("abort");
  }
  void onText(const std::string& text) override { record("text " + text); }
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  void record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

class RecordingFactory : public WebSocketListenerFactory {
 public:
  // Its listeners register with `reliable`, when given.
  explicit RecordingFactory(ReliableListener* reliable = nullptr) : reliable_(reliable) {}
  WebSocketListenerPtr create(const std::string& name, const std::string&) override {
    auto listener = std::make_shared<RecordingListener>(name, reliable_);
    std::lock_guard<std::mutex> lock(mutex_);
    made_.push_back(listener);
    return listener;
  }
  std::shared_ptr<RecordingListener> made(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < made_.size() ? made_[index] : nullptr;
  }

 private:
  ReliableListener* reliable_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<RecordingListener>> made_;
};

class ChannelTest : public ::testing::Test {
 protected:
  static constexpr const char* kUIType = "channel-test-ui";

  void SetUp() override {
    warmUpDispatcher();
    baselineThreads = threadCount();
    useFormat(0);
    manager.setDefaultUIType(kUIType);
    services.setDefaultUIType(kUIType);
    // The plug-in's listeners: every loopback address on one port.
    port = freePortOnEveryLoopback();
    ASSERT_NE(0, port);
    ASSERT_TRUE(server.start(everyLoopback(port), workers, kLoopbackAccessList, 0, 1, "/nonexistent", true, false));
  }
  void TearDown() override {
    manager.closeAll();
    server.stop();
    // Every worker, channel and keep-alive thread is gone with the server.
    EXPECT_TRUE(eventually([&] { return threadCount() == baselineThreads; }))
        << threadCount() << " threads, " << baselineThreads << " before";
  }

  void useFormat(int format) {
    auto descriptor = std::make_shared<KivraUIDescriptor>(kUIType);
    descriptor->readFromText(std::string("<KivraUIDescriptor><UIType>") + kUIType +
                             "</UIType><Version>1</Version><OutputFormat>" + std::to_string(format) +
                             "</OutputFormat><StoreID>1</StoreID><AffiliateID>2</AffiliateID>"
                             "<SupportedLocaleCodes/><SupportedFeatures/></KivraUIDescriptor>");
    contexts.holder().put(kUIType, descriptor);
  }

  // The routes of the plug-in; "all" keeps alive with the given interval when set.
  void bindPluginRoutes(std::chrono::milliseconds keepAlive = std::chrono::milliseconds(0)) {
    bool on = keepAlive.count() > 0;
    MessageDispatcher& dispatcher = *MessageDispatcher::getInstance();
    manager.addRoute("1.0/Events/all",
                     std::make_shared<HCServiceProxyWebSocketListenerFactory>(
                         on, dispatcher, &reliable, on ? keepAlive : HCServiceProxyWebSocketListenerFactory::kKeepAliveInterval));
    for (const char* route : {"1.0/Events/watcher", "1.0/Events/inAppPurchase", "1.0/Events/featureAccess"})
      manager.addRoute(route, std::make_shared<HCServiceProxyWebSocketListenerFactory>(false, dispatcher, &reliable));
  }

  // An open early-draft channel, handshake read.
  std::unique_ptr<DraftBrowser> openChannel(const std::string& uri) {
    auto browser = std::make_unique<DraftBrowser>(port, uri);
    browser->open();
    EXPECT_EQ(0u, browser->handshake(16).find("HTTP/1.1 101 Web Socket Protocol Handshake\r\n"));
    return browser;
  }

  int workers = 4;
  int baselineThreads = 0;
  ReliableHCListener reliable{*MessageDispatcher::getInstance()};
  UIContexts contexts{kUIType};
  WebSocketManager manager{[this] {
    UIDescriptorPtr context = contexts.forDefaultUIType();
    return context ? context->outputFormat() : 1;
  }};
  ServiceProxy services{contexts};  // no service until a test registers one
  WebServer server{Receivers{&services, &manager, nullptr}};
  int port = 0;
};
