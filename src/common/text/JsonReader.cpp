#include "common/text/JsonReader.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "common/text/Utf8.h"

namespace json {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Collects a string's UTF-16 code units, as escapes may give halves of pairs.
class Utf16Collector {
 public:
  void add(uint32_t unit) {
    if (high_) {
      const uint32_t high = high_;
      high_ = 0;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        utf8::append(out_, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
        return;
      }
      out_ += '?';
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      high_ = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      out_ += '?';
    } else {
      utf8::append(out_, unit);
    }
  }
  void addCharacter(uint32_t character) {
    if (character < 0x10000) {
      add(character);
    } else {
      add(0xD800 + ((character - 0x10000) >> 10));
      add(0xDC00 + ((character - 0x10000) & 0x3FF));
    }
  }
  std::string finish() {
    if (high_) out_ += '?';
    high_ = 0;
    return std::move(out_);
  }

 private:
  std::string out_;
  uint32_t high_ = 0;
};

// A double in the shortest form that reads back: exponent form when the
// exponent is below -4 or the decimal form would be longer.
std::string shortestText(double value) {
  char buffer[64];
  const std::to_chars_result written =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string scientific(buffer, written.ptr);
  std::string sign, digits;
  size_t at = 0;
  if (scientific[at] == '-') sign = "-", ++at;
  for (; scientific[at] != 'e'; ++at)
    if (scientific[at] != '.') digits += scientific[at];
  const int exponent = std::stoi(scientific.substr(at + 1));
  const int point = exponent + 1;  // digits before the decimal point
  const int length = int(digits.size());
  int cutoff = 6;
  if (point > 0) {
    cutoff = length + 4 + (point > 100 ? 2 : 1);
    if (length > point) ++cutoff;
  }
  if (point - 1 < -4 || point - 1 >= cutoff) {
    std::string text = sign + digits.substr(0, 1);
    if (length > 1) text += "." + digits.substr(1);
    const int shown = point - 1;
    const std::string magnitude = std::to_string(shown < 0 ? -shown : shown);
    return text + "e" + (shown < 0 ? "-" : "+") + (magnitude.size() < 2 ? "0" : "") + magnitude;
  }
  if (point <= 0) return sign + "0." + std::string(size_t(-point), '0') + digits;
  if (point >= length) return sign + digits + std::string(size_t(point - length), '0');
  return sign + digits.substr(0, size_t(point)) + "." + digits.substr(size_t(point));
}

class Parser {
 public:
  Parser(const std::string& text, std::vector<Node>& nodes) : text_(text), nodes_(nodes) {}

  bool parse(std::string& error) {
    nodes_.clear();
    skipSpace();
    if (at_ >= text_.size() || (text_[at_] != '{' && text_[at_] != '[')) return fail(error, "no object or array");
    if (!parseContainers(error)) return false;
    skipSpace();
    if (at_ < text_.size()) return fail(error, "text after the end");
    return true;
  }

 private:
  struct Open {
    size_t node;
    bool needsItem = false;  // after a comma
  };

  bool fail(std::string& error, const std::string& why) {
    error = why + " at offset " + std::to_string(at_);
    return false;
  }
  void skipSpace() {
    while (at_ < text_.size() && isSpace(text_[at_])) ++at_;
  }
  bool atEnd() const { return at_ >= text_.size(); }

  size_t add(Node::Kind kind) {
    nodes_.push_back(Node());
    nodes_.back().kind = kind;
    return nodes_.size() - 1;
  }

  // Sorts an object's members by key, keeping the last of equal keys.
  void closeObject(size_t index) {
    auto& members = nodes_[index].children;
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<std::string, size_t>> kept;
    kept.reserve(members.size());
    for (size_t i = 0; i < members.size(); ++i)
      if (i + 1 == members.size() || members[i + 1].first != members[i].first) kept.push_back(std::move(members[i]));
    members = std::move(kept);
  }

  // Reads the container at at_ and everything in it.
  bool parseContainers(std::string& error) {
    std::vector<Open> open;
    if (!openContainer(open, error)) return false;
    while (!open.empty()) {
      Node& container = nodes_[open.back().node];
      const bool isObject = container.kind == Node::Kind::kObject;
      skipSpace();
      if (atEnd()) return fail(error, "unterminated container");
      const char c = text_[at_];
      if (!open.back().needsItem && c == (isObject ? '}' : ']')) {
        ++at_;
        if (isObject) closeObject(open.back().node);
        open.pop_back();
        if (!open.empty() && !afterItem(open, error)) return false;
        continue;
      }
      std::string key;
      if (isObject) {
        if (c != '"') return fail(error, "a member must begin with a key");
        ++at_;
        if (!parseString(key, error)) return false;
        skipSpace();
        if (atEnd() || text_[at_] != ':') return fail(error, "no ':' after a key");
        ++at_;
        skipSpace();
        if (atEnd()) return fail(error, "unterminated object");
      }
      const char first = text_[at_];
      if (first == '{' || first == '[') {
        const size_t parent = open.back().node;
        if (!openContainer(open, error)) return false;
        nodes_[parent].children.emplace_back(std::move(key), open.back().node);
        continue;
      }
      size_t value;
      if (!parseScalar(value, error)) return false;
      nodes_[open.back().node].children.emplace_back(std::move(key), value);
      if (!afterItem(open, error)) return false;
    }
    return true;
  }

  bool openContainer(std::vector<Open>& open, std::string& error) {
    if (open.size() >= Document::kMaxDepth) return fail(error, "containers nested too deep");
    const bool object = text_[at_++] == '{';
    open.push_back(Open{add(object ? Node::Kind::kObject : Node::Kind::kArray)});
    return true;
  }

  // After an item: a comma and the next item, or the container's end.
  bool afterItem(std::vector<Open>& open, std::string& error) {
    skipSpace();
    if (atEnd()) return fail(error, "unterminated container");
    const bool isObject = nodes_[open.back().node].kind == Node::Kind::kObject;
    if (text_[at_] == ',') {
      ++at_;
      open.back().needsItem = true;
      return true;
    }
    if (text_[at_] != (isObject ? '}' : ']')) return fail(error, "no ',' between items");
    open.back().needsItem = false;
    return true;
  }

  bool parseScalar(size_t& index, std::string& error) {
    const char c = text_[at_];
    if (c == '"') {
      ++at_;
      std::string value;
      if (!parseString(value, error)) return false;
      index = add(Node::Kind::kString);
      nodes_[index].text = std::move(value);
      return true;
    }
    for (const auto& literal : {std::make_pair("null", Node::Kind::kNull), std::make_pair("true", Node::Kind::kTrue),
                                std::make_pair("false", Node::Kind::kFalse)}) {
      if (c != literal.first[0]) continue;
      const std::string word = literal.first;
      if (text_.compare(at_, word.size(), word) != 0) return fail(error, "unknown value");
      at_ += word.size();
      index = add(literal.second);
      return true;
    }
    if (c == ',' || c == '}' || c == ']') return fail(error, "missing value");
    return parseNumber(index, error);
  }

  bool parseString(std::string& value, std::string& error) {
    Utf16Collector collected;
    for (;;) {
      if (atEnd()) return fail(error, "unterminated string");
      const char c = text_[at_];
      if (c == '"') {
        ++at_;
        value = collected.finish();
        return true;
      }
      if (c == '\\') {
        if (++at_ >= text_.size()) return fail(error, "unterminated escape");
        const char escaped = text_[at_++];
        switch (escaped) {
          case 'b': collected.add(0x8); break;
          case 'f': collected.add(0xC); break;
          case 'n': collected.add(0xA); break;
          case 'r': collected.add(0xD); break;
          case 't': collected.add(0x9); break;
          case 'u': {
            if (text_.size() - at_ < 4) return fail(error, "short \\u escape");
            uint32_t unit = 0;
            for (int i = 0; i < 4; ++i) {
              const int digit = hexValue(text_[at_++]);
              if (digit < 0) return fail(error, "bad \\u escape");
              unit = unit << 4 | uint32_t(digit);
            }
            collected.add(unit);
            break;
          }
          default: {
            // '"', '\\', '/' and any other ASCII character stand for
            // themselves. A byte above 127 has always read as the two units
            // U+D7BF and a lone low surrogate.
            const unsigned char byte = static_cast<unsigned char>(escaped);
            if (byte < 0x80) {
              collected.add(byte);
            } else {
              collected.add(0xD7BF);
              collected.add(0xDC00 + (0x300 | byte));
            }
          }
        }
        continue;
      }
      uint32_t character;
      if (!utf8::next(text_, at_, character)) return fail(error, "invalid UTF-8 in a string");
      collected.addCharacter(character);
    }
  }

  bool parseNumber(size_t& index, std::string& error) {
    const size_t start = at_;
    auto digit = [&] { return !atEnd() && text_[at_] >= '0' && text_[at_] <= '9'; };
    bool whole = true;
    if (!atEnd() && text_[at_] == '-') ++at_;
    if (!atEnd() && text_[at_] == '0') {
      ++at_;
    } else {
      while (digit()) ++at_;
    }
    if (!atEnd() && text_[at_] == '.') {
      whole = false;
      ++at_;
      while (digit()) ++at_;
    }
    if (!atEnd() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      whole = false;
      ++at_;
      if (!atEnd() && (text_[at_] == '-' || text_[at_] == '+')) ++at_;
      while (digit()) ++at_;
    }
    if (atEnd()) return fail(error, "text ends in a number");
    const char* first = text_.data() + start;
    const char* last = text_.data() + at_;
    if (whole) {
      int64_t integer = 0;
      const std::from_chars_result read = std::from_chars(first, last, integer);
      if (read.ec == std::errc() && read.ptr == last && last != first) {
        index = add(Node::Kind::kNumber);
        nodes_[index].text = std::to_string(integer);
        return true;
      }
    }
    double value = 0;
    const std::from_chars_result read = std::from_chars(first, last, value);
    if (read.ec != std::errc() || read.ptr != last) return fail(error, "not a number");
    index = add(Node::Kind::kNumber);
    // Integral values that a 64-bit integer holds read as integers.
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (value >= -kLimit && value < kLimit && value == double(int64_t(value))) {
      nodes_[index].text = std::to_string(int64_t(value));
    } else {
      nodes_[index].text = shortestText(value);
    }
    return true;
  }

  const std::string& text_;
  std::vector<Node>& nodes_;
  size_t at_ = 0;
};

}  // namespace

bool Document::read(const std::string& text, std::string* error) {
  std::string why;
  Parser parser(text, nodes_);
  if (parser.parse(why)) return true;
  nodes_.clear();
  if (error) *error = why;
  return false;
}

std::string Document::valueText(const Node& node) {
  switch (node.kind) {
    case Node::Kind::kString:
    case Node::Kind::kNumber:
      return node.text;
    case Node::Kind::kTrue:
      return "true";
    case Node::Kind::kFalse:
      return "false";
    default:
      return "";
  }
}

}  // namespace json
