#pragma once

#include "ostrel/web/MessageReceiver.h"

// Answers "Not implemented" with a fixed type: what a receiver with nothing
// bound answers. Stands for the service proxy and the event channels until
// they are wired in.
class UnboundReceiver : public MessageReceiver {
 public:
  explicit UnboundReceiver(int type) : type_(type) {}
  void process(MessagePtr& result, const std::string&, const std::string&, const SocketPtr&) override {
    result = std::make_shared<Message>("Not implemented", type_);
  }

 private:
  int type_;
};
