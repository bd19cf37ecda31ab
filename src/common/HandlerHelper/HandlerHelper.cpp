#include "common/HandlerHelper/HandlerHelper.h"

#include <mutex>
#include <set>

#include "common/logging/LogRecord.h"
#include "tessaro/CommonMessageProperties.h"
#include "tessaro/MessageDispatcher.h"

namespace HCI {

namespace {

// The handlers whose callers may be waiting, for cancelWaits to reach.
struct Waits {
  std::mutex mutex;  // guards both below
  std::set<MessageHandler*> handlers;
  bool cancelled = false;
};

Waits& waits() {
  static Waits* const all = new Waits();  // outlives every handler, at exit too
  return *all;
}

// Keeps a handler in the registry while its caller waits.
class WaitRegistration {
 public:
  explicit WaitRegistration(MessageHandler& handler) : handler_(handler) {
    std::lock_guard<std::mutex> lock(waits().mutex);
    waits().handlers.insert(&handler_);
    if (waits().cancelled) handler_.cancel();
  }
  ~WaitRegistration() {
    std::lock_guard<std::mutex> lock(waits().mutex);
    waits().handlers.erase(&handler_);
  }

 private:
  MessageHandler& handler_;
};

}  // namespace

void HandlerHelper::cancelWaits() {
  std::lock_guard<std::mutex> lock(waits().mutex);
  waits().cancelled = true;
  for (MessageHandler* handler : waits().handlers) handler->cancel();
}

void HandlerHelper::allowWaits() {
  std::lock_guard<std::mutex> lock(waits().mutex);
  waits().cancelled = false;
}

MessageHandlerPtr HandlerHelper::send(const std::string& targetTopic, const std::string& messageType,
                                      const ISerializablePtr& payload, const UUId& messageId, int sequence) {
  const UUId replyId;
  const std::string replyTopic = kReplyPrefix + replyId.getValue();

  CommonMessageProperties properties;
  properties.setMessageType(messageType);
  properties.setReplyTopic(replyTopic);
  properties.setTargetTopic(targetTopic);
  properties.setPriority(0);
  properties.setMessageId(messageId);
  if (sequence > 0) properties.setProperty(kSequenceProperty, std::to_string(sequence));

  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(payload);

  // Registered before the post, so a reply cannot arrive before its receiver.
  auto handler = std::make_shared<MessageHandler>(replyTopic);
  // A message nobody receives is never answered.
  if (MessageDispatcher::getInstance()->post(message) == MessageDispatcher::kNoReceiver) handler->cancel();
  return handler;
}

LocalMessagePtr HandlerHelper::sendAndWait(const std::string& targetTopic, const std::string& messageType,
                                           const ISerializablePtr& payload, int timeoutSeconds,
                                           const UUId& messageId, int sequence, WaitStop* stop) {
  MessageHandlerPtr handler = send(targetTopic, messageType, payload, messageId, sequence);
  WaitRegistration registration(*handler);
  try {
    return handler->waitForReply(timeoutSeconds, stop);
  } catch (const WaitStopped&) {
    OSTREL_LOG(LOG_ERROR) << "Thread interrupted while waiting for response.";
    throw;
  }
}

}  // namespace HCI
