#include "ostrel/plugin/UnencodedString.h"

UnencodedString::UnencodedString(const std::string& text) : text_(text) {}
UnencodedString::UnencodedString(const UnencodedString& other) : text_(other.text_) {}
UnencodedString::~UnencodedString() = default;
UnencodedString& UnencodedString::operator=(const UnencodedString& other) {
  text_ = other.text_;
  return *this;
}
