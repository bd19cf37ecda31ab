#pragma once

#include <memory>
#include <string>

// What event listeners send through.
class MessageSender {
 public:
  virtual int send(std::string text) {
    (void)text;
    return 0;
  }
  virtual ~MessageSender() = default;
};

using MessageSenderPtr = std::shared_ptr<MessageSender>;
