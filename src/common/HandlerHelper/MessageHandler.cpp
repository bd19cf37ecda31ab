#include "common/HandlerHelper/MessageHandler.h"

#include <boost/date_time/posix_time/posix_time.hpp>

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
    boost::lock_guard<boost::mutex> lock(mutex_);
    tag_ = tag;
    message_ = message;
  }
  arrived_.notify_all();
}

void MessageHandler::cancel() {
  {
    boost::lock_guard<boost::mutex> lock(mutex_);
    cancelled_ = true;
  }
  arrived_.notify_all();
}

LocalMessagePtr MessageHandler::waitForReply(int timeoutSeconds) {
  boost::unique_lock<boost::mutex> lock(mutex_);
  if (timeoutSeconds < 0) {
    while (!message_ && !cancelled_) arrived_.wait(lock);
  } else {
    // Spurious wake-ups must not end the wait early: loop until the deadline.
    const boost::system_time deadline =
        boost::get_system_time() + boost::posix_time::microseconds(int64_t(timeoutSeconds) * 1000000);
    while (!message_ && !cancelled_)
      if (!arrived_.timed_wait(lock, deadline)) break;
  }
  LocalMessagePtr reply = message_;
  message_.reset();
  tag_ = 0;
  return reply;
}

}  // namespace HCI
