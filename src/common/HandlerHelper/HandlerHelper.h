#pragma once

// Every exchange with another plug-in: a message with a reply topic unique to the
// call, a one-shot receiver registered on that topic before the post, and an
// optional wait for the reply.

#include <string>

#include "common/HandlerHelper/MessageHandler.h"
#include "tessaro/ISerializable.h"
#include "tessaro/LocalMessage.h"
#include "tessaro/UUId.h"

namespace HCI {

class HandlerHelper {
 public:
  // The name of the property that carries a positive `sequence` argument.
  static constexpr const char* kSequenceProperty = "SequenceNumber";
  // Prefix of reply topics.
  static constexpr const char* kReplyPrefix = "target://";

  // Posts the message and returns the receiver, already registered on its reply topic.
  static MessageHandlerPtr send(const std::string& targetTopic, const std::string& messageType,
                                const ISerializablePtr& payload, const UUId& messageId, int sequence);

  // Sends and waits up to `timeoutSeconds` (-1: no limit); empty on time-out,
  // at once when nobody receives the message or waits are cancelled. A wait
  // ended by `stop` (its worker is being stopped) is logged and its
  // WaitStopped re-thrown.
  static LocalMessagePtr sendAndWait(const std::string& targetTopic, const std::string& messageType,
                                     const ISerializablePtr& payload, int timeoutSeconds,
                                     const UUId& messageId, int sequence, WaitStop* stop = nullptr);

  // Ends every wait for a reply at once, empty, and every later one too until
  // allowWaits: a stopping plug-in must not keep its callers waiting.
  static void cancelWaits();
  static void allowWaits();
};

}  // namespace HCI
