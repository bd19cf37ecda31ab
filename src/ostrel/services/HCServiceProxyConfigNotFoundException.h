#pragma once

#include <exception>
#include <string>
#include <utility>

// A service path that the service table does not hold.
class HCServiceProxyConfigNotFoundException : public std::exception {
 public:
  explicit HCServiceProxyConfigNotFoundException(std::string key)
      : key_(std::move(key)), message_("Configuration Key (" + key_ + ") not found!") {}

  const std::string& key() const noexcept { return key_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string key_;
  std::string message_;
};
