#include "common/HandlerHelper/HandlerHelper.h"

#include <boost/thread/exceptions.hpp>

#include "common/logging/LogRecord.h"
#include "tessaro/CommonMessageProperties.h"
#include "tessaro/MessageDispatcher.h"

namespace HCI {

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
  MessageDispatcher::getInstance()->post(message);
  return handler;
}

LocalMessagePtr HandlerHelper::sendAndWait(const std::string& targetTopic, const std::string& messageType,
                                           const ISerializablePtr& payload, int timeoutSeconds,
                                           const UUId& messageId, int sequence) {
  MessageHandlerPtr handler = send(targetTopic, messageType, payload, messageId, sequence);
  try {
    return handler->waitForReply(timeoutSeconds);
  } catch (const boost::thread_interrupted&) {
    OSTREL_LOG(LOG_ERROR) << "Thread interrupted while waiting for response.";
    throw;
  }
}

}  // namespace HCI
