#pragma once

#include <exception>
#include <string>

// A package that cannot be read or unpacked.
class UXUpdatePackageException : public std::exception {
 public:
  UXUpdatePackageException(int code, std::string message) : code_(code), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  int code() const { return code_; }

 private:
  int code_;
  std::string message_;
};
