#pragma once

// A failed business-logic call as the browser will see it: a status of the
// plug-in's own (code and message), or the business logic's own error document,
// passed on unchanged. The pipeline renders it in the caller's output format;
// nothing reads it back out of its text.

#include <cstdint>
#include <exception>
#include <string>

class ServiceError : public std::exception {
 public:
  // A status of the plug-in's own, such as -13 for a call without an answer.
  static ServiceError status(int32_t code, std::string message);
  // The business logic's "ERROR" or "CRITICAL" reply.
  static ServiceError document(std::string document);

  bool isStatus() const { return isStatus_; }
  int32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  // The XML text: the status document written out, or the business logic's document.
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  ServiceError(bool isStatus, int32_t code, std::string message, std::string text)
      : isStatus_(isStatus), code_(code), message_(std::move(message)), text_(std::move(text)) {}

  bool isStatus_;
  int32_t code_;
  std::string message_;
  std::string text_;
};
