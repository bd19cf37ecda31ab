#pragma once

// JSON text read into a tree, with the tolerances the plug-ins' readers have
// always had: an unknown escape stands for its own character ("\x" is "x"),
// control characters may stand unescaped in strings, a number may lack the
// digits after its point (1.) or before it (.5). An object's members are in the
// order of their keys (bytewise), and of two equal keys the last counts.
// Containers nest at most kMaxDepth deep; reading needs no recursion.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace json {

struct Node {
  enum class Kind { kNull, kFalse, kTrue, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  // A string's text in UTF-8 (a lone surrogate escape reads as "?"); a
  // number's text: integral values below 2^63 in magnitude as whole numbers,
  // others in the shortest form that reads back, as 1e+20 or 2.5e-05.
  std::string text;
  // An object's members (key, node) in key order; an array's items (empty key).
  std::vector<std::pair<std::string, size_t>> children;
};

class Document {
 public:
  static constexpr size_t kMaxDepth = 1024;

  // False when `text` is not one JSON object or array (then `error`, when
  // given, says why and where).
  bool read(const std::string& text, std::string* error = nullptr);

  // The outermost object or array; valid after a successful read.
  const Node& top() const { return nodes_.front(); }
  const Node& node(size_t index) const { return nodes_[index]; }

  // A scalar's text as the readers take it: strings and numbers as above, true
  // and false by name; empty for null, arrays and objects.
  static std::string valueText(const Node& node);

 private:
  std::vector<Node> nodes_;
};

}  // namespace json
