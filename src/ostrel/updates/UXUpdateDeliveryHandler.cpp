#include "ostrel/updates/UXUpdateDeliveryHandler.h"

#include "common/logging/LogRecord.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/StatusResultTypePayload.h"

_UXUpdateDeliveryHandler::~_UXUpdateDeliveryHandler() {
  if (subscribed_) dispatcher_.unsubscribe(this, kTopic);
}

int _UXUpdateDeliveryHandler::subscribe() {
  if (dispatcher_.subscribe(this, kTopic) != 0) {
    OSTREL_LOG(LOG_ERROR) << "Couldn't Subscribe to server";
    return 2;
  }
  subscribed_ = true;
  return 0;
}

int _UXUpdateDeliveryHandler::unsubscribe() {
  if (dispatcher_.unsubscribe(this, kTopic) != 0) {
    OSTREL_LOG(LOG_ERROR) << "Couldn't de-subscribe from server";
    return 2;
  }
  subscribed_ = false;
  return 0;
}

void _UXUpdateDeliveryHandler::onMessage(uint64_t, const LocalMessagePtr& message) {
  if (!message) {
    OSTREL_LOG(LOG_WARNING) << "Null Message Received.";
    return;
  }
  if (!message->getPayload()) {
    OSTREL_LOG(LOG_ERROR) << "Can not get required information from received msg.";
    return;
  }
  auto status = std::dynamic_pointer_cast<StatusResultTypePayload>(message->getPayload());
  if (!status) {
    OSTREL_LOG(LOG_WARNING) << "Empty Payload.";
    return;
  }
  const std::map<std::string, std::string> none;
  const std::map<std::string, std::string>& properties = status->properties ? *status->properties : none;
  auto file = properties.find("filename");
  if (file == properties.end()) {
    OSTREL_LOG(LOG_ERROR) << "Invalid Payload. File property is empty";
    return;
  }
  updates_.startUpdate(file->second, true);
}
