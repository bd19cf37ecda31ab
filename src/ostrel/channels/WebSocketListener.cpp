#include "ostrel/channels/WebSocketListener.h"

#include "ostrel/channels/ReliableListener.h"

WebSocketListener::WebSocketListener(std::string name, ReliableListener* reliable)
    : reliable_(reliable), name_(std::move(name)) {}

void WebSocketListener::onOpen(const std::string&) {
  if (reliable_) reliable_->addListener(this);
}

void WebSocketListener::onClose() {
  if (reliable_) reliable_->removeListener(this);
}

// A channel that fails by an exception after it opened is registered: leaving it
// there would leave the reliable listener a pointer to a listener that goes away.
void WebSocketListener::onAbort() {
  if (reliable_) reliable_->removeListener(this);
}

void WebSocketListener::senderChanged(const EventChannelPtr&, const EventChannelPtr&) {}

void WebSocketListener::onText(const std::string&) {}

void WebSocketListener::setSender(const EventChannelPtr& sender) {
  std::lock_guard<std::mutex> lock(mutex_);
  senderChanged(sender_, sender);
  sender_ = sender;
}

EventChannelPtr WebSocketListener::getSender() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sender_;
}
