#pragma once

#include <string>

namespace bizl {

// Supplies the text of the placeholders of a reply template.
class PlaceholderSource {
 public:
  virtual ~PlaceholderSource() = default;
  // The XML text that replaces "{name}" ("{!name}" when `mandatory`); throws
  // RequestError when the request cannot be answered.
  virtual std::string resolve(const std::string& name, bool mandatory) = 0;
};

}  // namespace bizl
