#pragma once

#include <string>

// One reliable event: its payload text as received and its type name. In XML it
// reads <Event><Type>WebLinkEvent</Type><Message>...</Message></Event>.
class Event {
 public:
  Event() = default;
  Event(std::string message, std::string type) : message(std::move(message)), type(std::move(type)) {}
  virtual ~Event() = default;

  std::string message;
  std::string type;
};
