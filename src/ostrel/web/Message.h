#pragma once

#include <memory>
#include <string>

// A receiver's answer: a body and a type that decides the reply head.
class Message {
 public:
  enum Type {
    XmlReply = 0,
    HtmlReply = 1,
    StaticResource = 2,  // the engine serves the file
    JsonReply = 3,
    TakenOver = 4,  // the receiver keeps the connection
    JsonError = 5,
    XmlError = 6,
    NotFound = 7,  // the body is sent as text with 404: no such service
  };

  Message(std::string body, int type) : body_(std::move(body)), type_(type) {}
  virtual ~Message() = default;

  const std::string& body() const { return body_; }
  int type() const { return type_; }

 private:
  std::string body_;
  int type_;
};

using MessagePtr = std::shared_ptr<Message>;
