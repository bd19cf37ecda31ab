#include "common/HandlerHelper/WaitStop.h"

#include "common/HandlerHelper/MessageHandler.h"

namespace HCI {

void WaitStop::request() {
  std::lock_guard<std::mutex> lock(mutex_);
  requested_ = true;
  for (MessageHandler* handler : handlers_) handler->stop();
}

bool WaitStop::requested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requested_;
}

void WaitStop::attach(MessageHandler& handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_.insert(&handler);
  if (requested_) handler.stop();
}

void WaitStop::detach(MessageHandler& handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_.erase(&handler);
}

}  // namespace HCI
