#pragma once

#include <string>

#include "ostrel/web/Message.h"
#include "ostrel/web/MessageReceiver.h"
#include "ostrel/web/Socket.h"

// The receivers a request can go to. A null one leaves its kind unbound: its
// requests are answered "Not implemented".
struct Receivers {
  MessageReceiver* services = nullptr;
  MessageReceiver* channels = nullptr;
  MessageReceiver* resources = nullptr;
};

// Chooses the receiver of a request by its URI: ".svc" anywhere is a service
// call, else ".ws" anywhere an event channel, else a static resource. Made for
// one request.
class MessageRouter {
 public:
  explicit MessageRouter(const Receivers& receivers) : receivers_(receivers) {}
  virtual ~MessageRouter() = default;

  void setResponseCoding(int coding) { responseCoding_ = coding; }
  MessagePtr route(const std::string& query, const std::string& uri, const SocketPtr& socket);

  MessageReceiver& receiverFor(const std::string& uri) const;
  // True when URI goes to a receiver that opens a channel for it.
  bool opensChannel(const std::string& uri) const { return receiverFor(uri).opensChannel(uri); }

 private:
  const Receivers& receivers_;
  int responseCoding_ = 0;
};
