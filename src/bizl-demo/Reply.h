#pragma once

#include <string>

namespace bizl {

// The answer to one request: the reply message's type and its payload text.
struct Reply {
  std::string type;  // "SUCCESS", "ERROR" or "CRITICAL"
  std::string text;
};

}  // namespace bizl
