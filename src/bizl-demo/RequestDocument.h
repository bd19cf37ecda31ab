#pragma once

#include <map>
#include <string>
#include <vector>

namespace bizl {

// What a request document says, read once: its root name, the text of each leaf
// element by name (the first occurrence wins) and the items of a list marker,
// <parameter><key>K</key><value>V</value></parameter>, which count as leaf K
// unless an element of that name exists.
class RequestDocument {
 public:
  // Throws RequestError (malformed request) when the text is not well-formed XML.
  static RequestDocument parse(const std::string& text);

  const std::string& root() const { return root_; }
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  // Empty when the document has no such element.
  std::string value(const std::string& name) const;
  const std::map<std::string, std::string>& values() const { return values_; }

 private:
  struct Frame {
    std::string name;
    std::string text;
    bool hasChildren = false;
    std::map<std::string, std::string> leaves;  // direct leaf children, for list items
  };
  void close(std::vector<Frame>& open, std::map<std::string, std::string>& items);

  std::string root_;
  std::map<std::string, std::string> values_;
};

}  // namespace bizl
