#pragma once

#include <string>

#include "ostrel/web/Message.h"
#include "ostrel/web/MessageReceiver.h"
#include "ostrel/web/Socket.h"

// Chooses the receiver of a request by its URI: ".svc" anywhere is a service
// call, else ".ws" anywhere an event channel, else a static resource.
class MessageRouter {
 public:
  virtual ~MessageRouter() = default;

  void setResponseCoding(int coding) { responseCoding_ = coding; }
  MessagePtr route(const std::string& query, const std::string& uri, const SocketPtr& socket);

  // The receivers of service calls and event channels, bound by the start
  // sequence before the engine runs; null leaves a kind unbound, answered with
  // "Not implemented".
  static void bindReceivers(MessageReceiver* services, MessageReceiver* channels);
  static MessageReceiver& receiverFor(const std::string& uri);
  // True when URI goes to a receiver that opens a channel for it.
  static bool opensChannel(const std::string& uri) { return receiverFor(uri).opensChannel(uri); }

 private:
  int responseCoding_ = 0;
};
