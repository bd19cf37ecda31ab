#include "ostrel/web/Socket.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "common/logging/LogRecord.h"
#include "ostrel/engine/engine.h"
#include "ostrel/engine/io.h"
#include "ostrel/web/LocalAddress.h"
#include "ostrel/websocket/FrameReader.h"
#include "ostrel/websocket/WebSocketListener.h"
#include "ostrel/websocket/WebSocketProtocol.h"
#include "ostrel/xml2json/Xml2Json.h"

using namespace WebSocketProtocol;

namespace {

constexpr int kFormatXmlToJson = 1;

const char kForbidden[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
// A plain request for a channel's address: no handshake is owed.
const char kNotAnUpgrade[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

}  // namespace

Socket::Socket(Connection* connection, int /*wsTimeout*/)
    : outputFormat_(connection ? mg_resp_coding(connection) : 1), connection_(connection) {}

Socket::~Socket() = default;

void Socket::setRequestData(const std::string& rawRequest, int requestLength, int dataLength) {
  rawRequest_ = rawRequest;
  requestLength_ = requestLength;
  dataLength_ = dataLength;
}

void Socket::addHeader(const std::string& name, const std::string& value) { headers_.emplace(name, value); }

std::string Socket::header(const std::string& name) const {
  auto it = headers_.find(name);
  return it == headers_.end() ? std::string() : it->second;
}

std::string Socket::headerAnyCase(const std::string& name) const {
  for (const auto& entry : headers_)
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return entry.second;
  return "";
}

void Socket::setListener(const std::shared_ptr<WebSocketListener>& listener) { listener_ = listener; }

// Channel side: the queue.

void Socket::append(Item item) {
  bool wasEmpty = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    wasEmpty = outbox_.empty();
    outbox_.push_back(std::move(item));
  }
  if (wasEmpty) queueCondition_.notify_one();
}

void Socket::post(const std::string& text) {
  // Nobody would ever take it.
  if (ended_) return;
  append(Item{kSend, text, nullptr});
}

bool Socket::postAndWait(const std::string& text) {
  auto report = std::make_shared<Report>();
  std::unique_lock<std::mutex> lock(reportMutex_);
  if (ended_) return false;
  append(Item{kSendAndReport, text, report});
  reportCondition_.wait(lock, [&] { return report->done || ended_; });
  return report->done && report->written;
}

void Socket::stop() {
  if (ended_) return;
  append(Item{kStop, "", nullptr});
}

void Socket::report(const Item& item, bool written) {
  if (item.kind != kSendAndReport || !item.report) return;
  {
    std::lock_guard<std::mutex> lock(reportMutex_);
    item.report->done = true;
    item.report->written = written;
  }
  reportCondition_.notify_all();
}

// Before the listener hears of the end: a reliable delivery waiting on this
// channel holds the lock that the listener's unregistering needs.
void Socket::markEnded() {
  {
    std::lock_guard<std::mutex> lock(reportMutex_);
    ended_ = true;
  }
  reportCondition_.notify_all();
  std::lock_guard<std::mutex> lock(queueMutex_);
  outbox_.clear();
}

bool Socket::engineStopping() const {
  return connection_ && connection_->ctx && connection_->ctx->stop_flag.load() != 0;
}

Socket::Next Socket::nextItem(Item& item) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  while (outbox_.empty()) {
    // A channel opened while the server stops is in no list that closeAll saw.
    if (engineStopping()) return Next::kEngineStopping;
    if (rfc6455_) {
      lock.unlock();
      const bool alive = readFrames(true);
      lock.lock();
      if (!alive) return Next::kPeerGone;
      if (!outbox_.empty()) break;
    }
    queueCondition_.wait_for(lock, kIdleCheck);
  }
  item = std::move(outbox_.front());
  outbox_.pop_front();
  return Next::kItem;
}

// Channel side: the connection.

int64_t Socket::writeAll(const std::string& bytes) {
  if (!connection_) return -1;
  size_t done = 0;
  while (done < bytes.size()) {
    // A non-blocking socket may take part of a frame; the rest must follow it.
    const int64_t n = mg_send_when_writable(connection_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return -1;
    done += size_t(n);
  }
  return int64_t(done);
}

int Socket::send(std::string text) {
  const std::string payload = outputFormat_ == kFormatXmlToJson ? Xml2Json().convert(std::move(text)) : text;
  const int64_t written = writeAll(rfc6455_ ? frame(kText, payload) : draftFrame(payload));
  return written < 0 ? -1 : int(written > INT_MAX ? INT_MAX : written);
}

bool Socket::originsAreLocal() const {
  bool found = false;
  for (const auto& entry : headers_) {
    if (strcasecmp(entry.first.c_str(), "Origin") != 0) continue;
    if (!isLocalUrl(entry.second)) return false;
    found = true;
  }
  return found;
}

bool Socket::handshake(const std::string& uri) {
  if (strcasecmp(headerAnyCase("Upgrade").c_str(), "websocket") != 0) {
    mg_send(connection_, kNotAnUpgrade, sizeof kNotAnUpgrade - 1);
    return false;
  }
  // Any page the browser shows could open a channel otherwise, and read the user's events.
  if (!originsAreLocal()) {
    OSTREL_LOG(LOG_WARNING) << "Refusing an event channel opened by a foreign origin.";
    mg_send(connection_, kForbidden, sizeof kForbidden - 1);
    return false;
  }
  const std::string key = headerAnyCase("Sec-WebSocket-Key");
  if (!key.empty() && headerAnyCase("Sec-WebSocket-Version") == "13") {
    rfc6455_ = true;
    frames_ = std::make_unique<FrameReader>();
    const std::string reply =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
        acceptKey(key) + "\r\n\r\n";
    mg_send(connection_, reply.data(), reply.size());
    return true;
  }

  const std::string key1 = header("Sec-WebSocket-Key1");
  const std::string key2 = header("Sec-WebSocket-Key2");
  const std::string origin = header("Origin");
  const std::string location = "ws" + origin.substr(4) + uri;
  std::string reply = "HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n";
  if (!key1.empty() && !key2.empty() && countSpaces(key1) > 0 && countSpaces(key2) > 0) {
    reply += "Sec-WebSocket-Origin: " + origin + "\r\nSec-WebSocket-Location: " + location + "\r\n\r\n";
    const std::string answer = draftAnswer(key1, key2, thirdKey(rawRequest_, requestLength_, dataLength_));
    mg_send(connection_, reply.data(), reply.size());
    mg_send(connection_, answer.data(), answer.size());
  } else {
    reply += "WebSocket-Origin: " + origin + "\r\nWebSocket-Location: " + location + "\r\n\r\n";
    mg_send(connection_, reply.data(), reply.size());
  }
  return true;
}

bool Socket::peerAlive(bool handleFrames) {
  return rfc6455_ ? readFrames(handleFrames) : mg_probe_peer(connection_) != 0;
}

// Reads what the browser sent without waiting and, with `handleFrames`, answers
// close and ping. False when the channel is over.
bool Socket::readFrames(bool handleFrames) {
  // Frames read before the channel opened are waiting.
  if (handleFrames && !handleReadFrames()) return false;
  char buffer[4096];
  // A browser that keeps sending must not keep the channel from its queue.
  for (int chunk = 0; chunk < kMaxChunksPerRead; ++chunk) {
    errno = 0;
    const int n = pull(connection_, buffer, int(sizeof buffer), -1, false);
    if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE || connection_->client.sock < 0))) {
      mg_close_socket(connection_);
      return false;
    }
    if (n < 0) return true;
    frames_->feed(buffer, size_t(n));
    if (!handleFrames) return true;
    if (!handleReadFrames()) return false;
    if (n < int(sizeof buffer)) return true;
  }
  return true;
}

bool Socket::handleReadFrames() {
  FrameReader::Frame frame;
  for (;;) {
    switch (frames_->next(frame)) {
      case FrameReader::kNeedMore:
        return true;
      case FrameReader::kError: {
        const std::string close = closeFrame(frames_->errorCode());
        mg_send(connection_, close.data(), close.size());
        mg_close_socket(connection_);
        return false;
      }
      case FrameReader::kFrame:
        break;
    }
    if (frame.opcode == kClose) {
      // The status code is echoed; a lone byte cannot be one.
      const std::string close = frame.payload.size() == 1 ? closeFrame(kProtocolError)
                                                          : WebSocketProtocol::frame(kClose, frame.payload.substr(0, 2));
      mg_send(connection_, close.data(), close.size());
      mg_close_socket(connection_);
      return false;
    }
    if (frame.opcode == kPing && writeAll(WebSocketProtocol::frame(kPong, frame.payload)) < 0) {
      mg_close_socket(connection_);
      return false;
    }
    if (frame.opcode == kText && listener_) listener_->onText(frame.payload);
  }
}

void Socket::closeChannel(bool goingAway) {
  if (rfc6455_ && goingAway && connection_->client.sock >= 0) {
    const std::string close = closeFrame(kGoingAway);
    mg_send(connection_, close.data(), close.size());
    // Unread input would turn the close into a reset that can overtake the frame.
    char buffer[512];
    while (pull(connection_, buffer, int(sizeof buffer), -1, false) > 0) {
    }
  }
  mg_close_socket(connection_);
}

void Socket::serve() {
  while (peerAlive()) {
    Item item;
    const Next next = nextItem(item);
    if (next == Next::kPeerGone) break;
    if (next == Next::kEngineStopping || item.kind == kStop) {
      closeChannel(true);
      return;
    }
    const bool written = item.text.empty() || (peerAlive() && send(item.text) >= 0);
    report(item, written);
    if (!written) break;
  }
  closeChannel(false);
}

void Socket::run(const std::string& uri) {
  const std::shared_ptr<WebSocketListener> listener = listener_;
  try {
    if (!connection_) throw std::logic_error("a channel needs a connection");
    if (!handshake(uri)) {
      markEnded();
      if (listener) listener->onAbort();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      mg_set_nonblocking(connection_);
      // The listener hears of the browser's first frames only once it knows the channel is open.
      if (!peerAlive(false)) {
        markEnded();
        if (listener) listener->onAbort();
        mg_close_socket(connection_);
        OSTREL_LOG(LOG_WARNING) << "Closing connection due to channel communication issues.";
      } else {
        if (listener) listener->onOpen(rawRequest_);
        serve();
        markEnded();
        if (listener) listener->onClose();
      }
    }
  } catch (const std::exception& error) {
    markEnded();
    if (listener) listener->onAbort();
    OSTREL_LOG(LOG_ERROR) << "Closing connection because an exception was catch (" << error.what() << ")";
  }
  // The listener holds this socket as its sender: the pair must not keep each other.
  listener_.reset();
}
