#include "ostrel/channels/Channel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/logging/LogRecord.h"
#include "ostrel/engine/engine.h"
#include "ostrel/channels/WebSocketListener.h"
#include "ostrel/channels/WebSocketProtocol.h"

using namespace WebSocketProtocol;
using Clock = std::chrono::steady_clock;

namespace {

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

Channel::Channel(OutputFormat outputFormat, std::shared_ptr<WebSocketListener> listener, std::string rawRequest,
                 Limits limits)
    : outputFormat_(outputFormat),
      listener_(std::move(listener)),
      rawRequest_(std::move(rawRequest)),
      limits_(limits),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Channel::~Channel() {
  join();
  mg_free_detached(connection_);  // a channel that never ran
  if (wakeFd_ >= 0) close(wakeFd_);
}

void Channel::start(Connection* detached, WireProtocol protocol, std::function<void()> ended) {
  connection_ = detached;
  protocol_ = protocol;
  endedCallback_ = std::move(ended);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    failQueued();
    mg_close_socket(connection_);
    if (listener_) listener_->onAbort();
    listener_.reset();
    OSTREL_LOG(LOG_ERROR) << "Closing connection because an exception was catch (" << error.what() << ")";
    if (endedCallback_) endedCallback_();
  }
}

void Channel::abandon() {
  failQueued();
  // The listener holds this channel as its sender: the pair must not keep each other.
  listener_.reset();
}

// The manager's stop and a channel that ends after this one may both join it.
void Channel::join() {
  std::lock_guard<std::mutex> lock(joinMutex_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

// Queue side, on any thread.

void Channel::post(const std::string& text, Written written) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ended_ && !overflow_) {
      // One text alone always fits: the bound is on a backlog.
      if (queue_.empty() || queuedBytes_ + text.size() <= limits_.maxQueuedBytes) {
        queue_.push_back(Item{text, std::move(written)});
        queuedBytes_ += text.size();
        wake();
        return;
      }
      // A browser this far behind will not catch up: the channel ends.
      overflow_ = true;
      wake();
    }
  }
  if (written) written(false);
}

bool Channel::postAndWait(const std::string& text) {
  struct Outcome {
    std::mutex mutex;
    std::condition_variable known;
    bool done = false;
    bool written = false;
  };
  auto outcome = std::make_shared<Outcome>();
  post(text, [outcome](bool written) {
    {
      std::lock_guard<std::mutex> lock(outcome->mutex);
      outcome->done = true;
      outcome->written = written;
    }
    outcome->known.notify_all();
  });
  std::unique_lock<std::mutex> lock(outcome->mutex);
  outcome->known.wait(lock, [&] { return outcome->done; });
  return outcome->written;
}

bool Channel::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_ || stopAsked_ || overflow_;
}

void Channel::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopAsked_ = true;
  wake();
}

void Channel::wake() {
  const uint64_t one = 1;
  while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// Texts that will never be written say so; later posts fail at once.
void Channel::failQueued() {
  std::deque<Item> items;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    items.swap(queue_);
    queuedBytes_ = 0;
  }
  if (Written done = std::move(currentDone_)) done(false);
  current_.clear();
  for (Item& item : items)
    if (item.written) item.written(false);
}

// The channel's thread.

void Channel::run() {
  const std::shared_ptr<WebSocketListener> listener = listener_;
  try {
    // The browser's first frames are not answered before it can take them.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!opened()) {
      failQueued();
      if (listener) listener->onAbort();
      mg_close_socket(connection_);
      OSTREL_LOG(LOG_WARNING) << "Closing connection due to channel communication issues.";
    } else {
      if (listener) listener->onOpen(rawRequest_);
      const End end = serve();
      closeConnection(end);
      failQueued();
      if (listener) listener->onClose();
    }
  } catch (const std::exception& error) {
    failQueued();
    mg_close_socket(connection_);
    if (listener) listener->onAbort();
    OSTREL_LOG(LOG_ERROR) << "Closing connection because an exception was catch (" << error.what() << ")";
  }
  // The listener holds this channel as its sender: the pair must not keep each other.
  listener_.reset();
  release();
  if (endedCallback_) endedCallback_();
}

// What an ended channel held goes at once, not when its thread is joined.
void Channel::release() {
  std::string().swap(current_);
  std::string().swap(control_);
  frames_ = FrameReader();
  mg_free_detached(connection_);
  connection_ = nullptr;
}

// False when the browser has already gone. What it sent meanwhile is kept
// for the open channel to handle.
bool Channel::opened() {
  char buffer[4096];
  errno = 0;
  const int n = mg_read(connection_, buffer, sizeof buffer);
  if (n == 0) return false;
  if (n < 0) return wouldBlock();
  if (protocol_ == WireProtocol::kRfc6455) frames_.feed(buffer, size_t(n));
  return true;
}

Channel::End Channel::serve() {
  End end = End::kPeerGone;
  if (protocol_ == WireProtocol::kRfc6455 && !handleFrames(end)) return end;
  for (;;) {
    if (!takeNextItem(end)) return end;
    const bool output = !current_.empty() || !control_.empty();
    if (output && Clock::now() - lastProgress_ >= limits_.stall) return End::kStalled;
    // Owed pongs past the bound: the browser's input waits until they are written.
    const short input = control_.size() < kMaxControlBytes ? POLLIN : 0;
    pollfd fds[2] = {{connection_->client.sock, short(input | (output ? POLLOUT : 0)), 0}, {wakeFd_, POLLIN, 0}};
    const int ready = poll(fds, 2, waitMilliseconds());
    if (ready < 0 && errno != EINTR) return End::kPeerGone;
    if (ready <= 0) continue;
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      while (read(wakeFd_, &count, sizeof count) > 0) {
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !readInput(end)) return end;
    if ((fds[0].revents & POLLOUT) && !writeOutput()) return End::kPeerGone;
  }
}

int Channel::waitMilliseconds() const {
  if (current_.empty() && control_.empty()) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(lastProgress_ + limits_.stall - Clock::now()).count();
  return left < 0 ? 0 : int(left) + 1;
}

// Frames the next queued text once the one before is written; false when the
// channel must end instead.
bool Channel::takeNextItem(End& end) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopAsked_) {
      end = End::kStopped;
      return false;
    }
    if (overflow_) {
      end = End::kOverflow;
      return false;
    }
    if (!current_.empty() || queue_.empty()) return true;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= item.text.size();
    lock.unlock();
    if (item.text.empty()) {
      if (item.written) item.written(true);
    } else {
      const std::string payload = render(item.text, outputFormat_);
      current_ = protocol_ == WireProtocol::kRfc6455 ? frame(kText, payload) : draftFrame(payload);
      currentWritten_ = 0;
      currentDone_ = std::move(item.written);
      if (control_.empty()) lastProgress_ = Clock::now();
    }
    lock.lock();
  }
}

// Reads what the browser sent; false when the channel is over.
bool Channel::readInput(End& end) {
  char buffer[4096];
  // A browser that keeps sending must not keep the channel from its queue.
  for (int chunk = 0; chunk < kMaxChunksPerRead && control_.size() < kMaxControlBytes; ++chunk) {
    errno = 0;
    const int n = mg_read(connection_, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && !wouldBlock())) {
      end = End::kPeerGone;
      return false;
    }
    if (n < 0) return true;
    // The early drafts' browsers send nothing the channel needs.
    if (protocol_ == WireProtocol::kRfc6455) {
      frames_.feed(buffer, size_t(n));
      if (!handleFrames(end)) return false;
    }
    if (n < int(sizeof buffer)) return true;
  }
  return true;
}

bool Channel::handleFrames(End& end) {
  FrameReader::Frame frame;
  for (;;) {
    switch (frames_.next(frame)) {
      case FrameReader::kNeedMore:
        return true;
      case FrameReader::kError:
        closeFrame_ = closeFrame(frames_.errorCode());
        end = End::kProtocolError;
        return false;
      case FrameReader::kFrame:
        break;
    }
    if (frame.opcode == kClose) {
      // The browser's status code is echoed.
      closeFrame_ = WebSocketProtocol::frame(kClose, frame.payload.substr(0, 2));
      end = End::kPeerGone;
      return false;
    }
    if (frame.opcode == kPing) appendControl(WebSocketProtocol::frame(kPong, frame.payload));
    if (frame.opcode == kText && listener_) listener_->onText(frame.payload);
  }
}

void Channel::appendControl(const std::string& frame) {
  if (current_.empty() && control_.empty()) lastProgress_ = Clock::now();
  control_ += frame;
}

// Writes what the socket takes; false when the browser is gone. Control
// frames go between two texts, never into one.
bool Channel::writeOutput() {
  for (;;) {
    const bool controlTurn = !control_.empty() && currentWritten_ == 0;
    std::string& out = controlTurn ? control_ : current_;
    size_t& done = controlTurn ? controlWritten_ : currentWritten_;
    if (out.empty()) return true;
    const size_t want = out.size() - done;
    errno = 0;
    const int64_t n = mg_send(connection_, out.data() + done, want);
    if (n > 0) {
      done += size_t(n);
      lastProgress_ = Clock::now();
    }
    if (size_t(n) < want) return wouldBlock();
    out.clear();
    done = 0;
    if (!controlTurn)
      if (Written written = std::move(currentDone_)) written(true);
  }
}

// RFC 6455 channels end with a close frame where one is owed and fits between
// two frames; the early drafts just close.
void Channel::closeConnection(End end) {
  if (protocol_ == WireProtocol::kRfc6455 && connection_->client.sock >= 0) {
    if (closeFrame_.empty() && end == End::kStopped) closeFrame_ = closeFrame(kGoingAway);
    if (closeFrame_.empty() && (end == End::kStalled || end == End::kOverflow))
      closeFrame_ = closeFrame(kPolicyViolation);
    if (!closeFrame_.empty() && currentWritten_ == 0 && controlWritten_ == 0) {
      mg_send(connection_, closeFrame_.data(), closeFrame_.size());
      // Unread input would turn the close into a reset that can overtake the frame.
      char buffer[4096];
      for (int chunk = 0; chunk < kMaxChunksPerRead && mg_read(connection_, buffer, sizeof buffer) > 0; ++chunk) {
      }
    }
  }
  mg_close_socket(connection_);
}
