#pragma once

#include <string>

// A message identifier. Default construction makes a new random identifier.
class UUId {
 public:
  UUId();
  const std::string& getValue() const { return value_; }
  bool operator==(const UUId& other) const { return value_ == other.value_; }
  bool operator!=(const UUId& other) const { return value_ != other.value_; }

 private:
  std::string value_;
};
