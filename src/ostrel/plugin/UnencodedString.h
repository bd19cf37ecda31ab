#pragma once

#include <string>

#include "ostrel/plugin/Export.h"

// A value class holding one string, exported for the host's use.
class OSTREL_EXPORT UnencodedString {
 public:
  UnencodedString() = default;
  explicit UnencodedString(const std::string& text);
  UnencodedString(const UnencodedString& other);
  ~UnencodedString();
  UnencodedString& operator=(const UnencodedString& other);

  const std::string& str() const { return text_; }

 private:
  std::string text_;
};
