#pragma once

#include <exception>
#include <string>

// A functor's failure; the message becomes the reply body.
class FunctorException : public std::exception {
 public:
  explicit FunctorException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};
