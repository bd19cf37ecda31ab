#include "ostrel/channels/HCServiceProxyWebSocketListener.h"

#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

HCServiceProxyWebSocketListener::HCServiceProxyWebSocketListener(MessageDispatcher& dispatcher, std::string topic,
                                                                 std::string name, ReliableListener* reliable,
                                                                 bool keepAlive,
                                                                 std::chrono::milliseconds keepAliveInterval)
    : WebSocketListener(std::move(name), reliable), dispatcher_(dispatcher), topic_(std::move(topic)) {
  dispatcher_.subscribe(this, topic_);
  if (keepAlive) keepAliveThread_ = std::thread([this, keepAliveInterval] { this->keepAlive(keepAliveInterval); });
}

HCServiceProxyWebSocketListener::~HCServiceProxyWebSocketListener() {
  dispatcher_.unsubscribe(this, topic_);
  stopKeepAlive();
}

void HCServiceProxyWebSocketListener::onOpen(const std::string& request) { WebSocketListener::onOpen(request); }

// An ended channel reads no more: its keep-alive thread goes with it.
void HCServiceProxyWebSocketListener::onClose() {
  WebSocketListener::onClose();
  stopKeepAlive();
}

void HCServiceProxyWebSocketListener::onAbort() {
  WebSocketListener::onAbort();
  stopKeepAlive();
}

void HCServiceProxyWebSocketListener::senderChanged(const EventChannelPtr& oldSender, const EventChannelPtr&) {
  if (oldSender) oldSender->stop();
}

void HCServiceProxyWebSocketListener::onText(const std::string&) {}

void HCServiceProxyWebSocketListener::onMessage(uint64_t, const LocalMessagePtr& message) {
  auto payload = message ? std::dynamic_pointer_cast<XMLPayload>(message->getPayload()) : nullptr;
  if (!payload) return;
  if (EventChannelPtr channel = getSender()) channel->post(payload->getXML());
}

bool HCServiceProxyWebSocketListener::keepsAlive() const {
  std::lock_guard<std::mutex> lock(keepAliveMutex_);
  return keepAliveThread_.joinable();
}

void HCServiceProxyWebSocketListener::keepAlive(std::chrono::milliseconds interval) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  for (;;) {
    const auto next = std::chrono::steady_clock::now() + interval;
    if (stopSignal_.wait_until(lock, next, [this] { return stopping_; })) return;
    lock.unlock();
    if (EventChannelPtr channel = getSender()) channel->post(kControlEvent);
    lock.lock();
  }
}

void HCServiceProxyWebSocketListener::stopKeepAlive() {
  std::lock_guard<std::mutex> lock(keepAliveMutex_);
  if (!keepAliveThread_.joinable()) return;
  {
    std::lock_guard<std::mutex> stopLock(stopMutex_);
    stopping_ = true;
  }
  stopSignal_.notify_all();
  keepAliveThread_.join();
}
