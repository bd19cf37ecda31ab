#pragma once

#include <string>

// Turns the compact XML documents of the business logic (replies and events) into
// the JSON shape that the store UI reads, e.g.
//   <Response><Status>0</Status></Response>  ->  {"response":{"status":"0"}}
// It rewrites the text rather than parsing XML: element names are lower-cased,
// attributes become members, repeated first children become arrays, every value is
// a string and an empty element is {}. Stateless; callers may share one instance
// or make one per use, from any thread.
class Xml2Json {
 public:
  virtual ~Xml2Json();

  // Never throws. Returns "{}" for an empty text and the empty string when the
  // text cannot be turned into a tree (see the .cpp).
  std::string convert(std::string xml) const;
};
