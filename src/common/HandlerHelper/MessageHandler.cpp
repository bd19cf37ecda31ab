#include "common/HandlerHelper/MessageHandler.h"

#include <chrono>

#include "tessaro/MessageDispatcher.h"

namespace HCI {

MessageHandler::MessageHandler(const std::string& topic) : topic_(topic) {
  if (!topic_.empty()) MessageDispatcher::getInstance()->subscribe(this, topic_);
}

MessageHandler::~MessageHandler() {
  if (!topic_.empty()) MessageDispatcher::getInstance()->unsubscribe(this, topic_);
}

void MessageHandler::onMessage(uint64_t tag, const LocalMessagePtr& message) {
  if (message && message->getMessageType() == MessageDispatcher::kNoReplyType) {
    cancel();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tag_ = tag;
    message_ = message;
  }
  arrived_.notify_all();
}

void MessageHandler::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  arrived_.notify_all();
}

void MessageHandler::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  arrived_.notify_all();
}

LocalMessagePtr MessageHandler::waitForReply(int timeoutSeconds, WaitStop* stop) {
  // The handler is attached to its waiter's stop for the length of the wait.
  struct StopAttachment {
    StopAttachment(WaitStop* stop, MessageHandler& handler) : stop(stop), handler(handler) {
      if (stop) stop->attach(handler);
    }
    ~StopAttachment() {
      if (stop) stop->detach(handler);
    }
    WaitStop* const stop;
    MessageHandler& handler;
  } attachment(stop, *this);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto done = [this] { return message_ || cancelled_; };
  if (!done()) {
    // Only a wait that blocks is ended by the stop, then whatever woke it.
    if (stopped_) throw WaitStopped();
    const auto woken = [&] { return done() || stopped_; };
    if (timeoutSeconds < 0) {
      arrived_.wait(lock, woken);
    } else {
      // Spurious wake-ups must not end the wait early: the predicate is looped on until the deadline.
      arrived_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds), woken);
    }
    if (stopped_) throw WaitStopped();
  }
  LocalMessagePtr reply = message_;
  message_.reset();
  tag_ = 0;
  return reply;
}

}  // namespace HCI
