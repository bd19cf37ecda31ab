#pragma once

#include <string>

// What a pending web-link event leaves for the business logic's next start.
struct WebLink {
  std::string applicationId;
  std::string localeCode;
  std::string categoryId;

  // The three fields from the event's message, by name at any depth: in XML the
  // text of an element of that name (the last one; what is inside it belongs to
  // it); in JSON (the business logic's own, or converted from XML, which writes
  // names in lower case) the value of a member of that name in any case, the
  // last in key order. False when the message is neither a well-formed XML
  // document nor a JSON object.
  static bool read(const std::string& message, WebLink& link);
};
