#include "common/text/XmlReading.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "common/text/Utf8.h"

namespace xml {

namespace {

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// White space as the tree readers have always judged a text to be blank.
bool isUnicodeSpace(uint32_t c) {
  return (c >= 0x9 && c <= 0xD) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isNameStartChar(uint32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFC && c != 0xFEFF);
}

bool isNameChar(uint32_t c) {
  return isNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// An XML Name of characters of the basic plane, not U+FEFF or U+FFFD (which
// are what encoding faults leave); with `colons` false, one without ':' (the
// parts of a qualified name).
bool isName(const std::string& name, bool colons = true) {
  if (name.empty()) return false;
  size_t at = 0;
  bool first = true;
  while (at < name.size()) {
    uint32_t c;
    if (!utf8::next(name, at, c)) return false;
    if (!(first ? isNameStartChar(c) : isNameChar(c)) || (!colons && c == ':')) return false;
    first = false;
  }
  return true;
}

bool sameIgnoringAsciiCase(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char x = a[i];
    if (x >= 'a' && x <= 'z') x = char(x - 'a' + 'A');
    if (x != b[i]) return false;
  }
  return true;
}

// The value of the encoding of an XML declaration at the start; empty without one.
std::string declaredEncoding(const std::string& text) {
  if (text.compare(0, 5, "<?xml") != 0 || text.size() < 6 || !isXmlSpace(text[5])) return "";
  const size_t end = text.find("?>");
  const size_t name = text.find("encoding", 5);
  if (end == std::string::npos || name == std::string::npos || name > end) return "";
  size_t at = name + 8;
  while (at < end && isXmlSpace(text[at])) ++at;
  if (at >= end || text[at] != '=') return "";
  ++at;
  while (at < end && isXmlSpace(text[at])) ++at;
  if (at >= end || (text[at] != '"' && text[at] != '\'')) return "";
  const size_t close = text.find(text[at], at + 1);
  if (close == std::string::npos || close > end) return "";
  return text.substr(at + 1, close - at - 1);
}

std::string latin1ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) utf8::append(out, static_cast<unsigned char>(c));
  return out;
}

// UTF-16 after its byte order mark, in UTF-8; false for an odd length or a
// lone surrogate unless those may be read as U+FFFD.
bool utf16ToUtf8(const std::string& input, bool bigEndian, bool replace, std::string& text) {
  text.clear();
  if (input.size() % 2 != 0 && !replace) return false;
  uint32_t high = 0;
  for (size_t at = 2; at + 1 < input.size(); at += 2) {
    const unsigned char first = static_cast<unsigned char>(input[at]), second = static_cast<unsigned char>(input[at + 1]);
    const uint32_t unit = bigEndian ? uint32_t(first) << 8 | second : uint32_t(second) << 8 | first;
    if (high && unit >= 0xDC00 && unit <= 0xDFFF) {
      utf8::append(text, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
      high = 0;
      continue;
    }
    if (high) {
      if (!replace) return false;
      utf8::append(text, 0xFFFD);
      high = 0;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      high = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      if (!replace) return false;
      utf8::append(text, 0xFFFD);
    } else {
      utf8::append(text, unit);
    }
  }
  if (high || input.size() % 2 != 0) {
    if (!replace) return false;
    utf8::append(text, 0xFFFD);
  }
  return true;
}

// The text to parse: UTF-8 without a byte order mark, its characters checked.
std::string prepare(const std::string& input, Dialect dialect, std::string& text) {
  const bool replace = dialect == Dialect::kTree;
  bool wide = false;
  if (input.compare(0, 2, "\xFE\xFF") == 0 || input.compare(0, 2, "\xFF\xFE") == 0) {
    if (input.compare(0, 4, std::string("\xFF\xFE\0\0", 4)) == 0) return "unsupported encoding: UTF-32";
    if (!utf16ToUtf8(input, input[0] == '\xFE', replace, text)) return "invalid UTF-16";
    wide = true;
  } else {
    text = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input;
  }
  // What follows the byte order mark must be the document; pugixml would skip another mark.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) return "text outside the root element";
  const std::string encoding = declaredEncoding(text);
  if (wide) {
    if (!encoding.empty() && !sameIgnoringAsciiCase(encoding, "UTF-16") && !sameIgnoringAsciiCase(encoding, "UTF-16LE") &&
        !sameIgnoringAsciiCase(encoding, "UTF-16BE"))
      return "a UTF-16 text that declares the encoding " + encoding;
  } else if (sameIgnoringAsciiCase(encoding, "ISO-8859-1") || sameIgnoringAsciiCase(encoding, "ISO8859-1") ||
             sameIgnoringAsciiCase(encoding, "ISO_8859-1") || sameIgnoringAsciiCase(encoding, "LATIN1") ||
             sameIgnoringAsciiCase(encoding, "LATIN-1")) {
    text = latin1ToUtf8(text);
  } else if (!encoding.empty() && !sameIgnoringAsciiCase(encoding, "UTF-8") &&
             !sameIgnoringAsciiCase(encoding, "UTF8") && !sameIgnoringAsciiCase(encoding, "US-ASCII") &&
             !sameIgnoringAsciiCase(encoding, "ASCII")) {
    return "unsupported encoding: " + encoding;
  }
  if (replace) text = utf8::withReplacements(text);
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = at;
    uint32_t c;
    if (!utf8::next(text, at, c)) return "invalid UTF-8 at offset " + std::to_string(start);
    const bool allowed = dialect == Dialect::kStream ? isXmlChar(c) : c != 0 && c != 0xFFFE && c != 0xFFFF;
    if (!allowed) return "a character XML does not allow at offset " + std::to_string(start);
  }
  return "";
}

enum class Entity { kInternal, kExternal };

// The document type declaration (what follows "<!DOCTYPE"), checked as XML
// has it, and what its general entities are: only that, never what they
// stand for. False when it is malformed.
bool readDoctype(const std::string& d, std::map<std::string, Entity>& entities) {
  size_t at = 0;
  auto space = [&] {
    const size_t start = at;
    while (at < d.size() && isXmlSpace(d[at])) ++at;
    return at > start;
  };
  auto name = [&](std::string& out) {
    const size_t start = at;
    while (at < d.size() && !isXmlSpace(d[at]) && !std::strchr("\"'[]<>%;&", d[at])) ++at;
    out = d.substr(start, at - start);
    return isName(out);
  };
  auto literal = [&] {
    if (at >= d.size() || (d[at] != '"' && d[at] != '\'')) return false;
    const size_t end = d.find(d[at], at + 1);
    if (end == std::string::npos) return false;
    at = end + 1;
    return true;
  };
  // 1 for an external identifier read, 0 for none, -1 for a malformed one.
  auto externalId = [&] {
    if (d.compare(at, 6, "SYSTEM") == 0) {
      at += 6;
      return space() && literal() ? 1 : -1;
    }
    if (d.compare(at, 6, "PUBLIC") == 0) {
      at += 6;
      return space() && literal() && space() && literal() ? 1 : -1;
    }
    return 0;
  };
  // A quoted entity value whose references are well-formed.
  auto entityValue = [&] {
    const char quote = d[at];
    const size_t end = d.find(quote, at + 1);
    if (end == std::string::npos) return false;
    for (size_t i = at + 1; i < end; ++i) {
      if (d[i] != '&' && d[i] != '%') continue;
      const size_t semicolon = d.find(';', i);
      if (semicolon == std::string::npos || semicolon > end) return false;
      std::string reference = d.substr(i + 1, semicolon - i - 1);
      if (d[i] == '&' && !reference.empty() && reference[0] == '#') {
        const bool hex = reference.size() > 1 && reference[1] == 'x';
        const std::string digits = reference.substr(hex ? 2 : 1);
        if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
          return false;
      } else if (!isName(reference)) {
        return false;
      }
      i = semicolon;
    }
    at = end + 1;
    return true;
  };
  std::string root;
  space();
  if (!name(root)) return false;
  if (space()) {
    const int id = externalId();
    if (id < 0) return false;
    if (id > 0) space();
  }
  if (at < d.size() && d[at] == '[') {
    ++at;
    for (;;) {
      space();
      if (at >= d.size()) return false;
      if (d[at] == ']') {
        ++at;
        break;
      }
      if (d.compare(at, 4, "<!--") == 0) {
        const size_t end = d.find("--", at + 4);
        if (end == std::string::npos || d.compare(end, 3, "-->") != 0) return false;
        at = end + 3;
      } else if (d.compare(at, 2, "<?") == 0) {
        at += 2;
        std::string target;
        const size_t end = d.find("?>", at);
        if (!name(target) || end == std::string::npos) return false;
        at = end + 2;
      } else if (d[at] == '%') {
        ++at;
        std::string reference;
        if (!name(reference) || at >= d.size() || d[at] != ';') return false;
        ++at;
      } else if (d.compare(at, 8, "<!ENTITY") == 0) {
        at += 8;
        if (!space()) return false;
        const bool parameter = at < d.size() && d[at] == '%';
        if (parameter && (++at, !space())) return false;
        std::string entity;
        if (!name(entity) || !space() || at >= d.size()) return false;
        Entity kind = Entity::kInternal;
        if (d[at] == '"' || d[at] == '\'') {
          if (!entityValue()) return false;
        } else {
          if (externalId() != 1) return false;
          kind = Entity::kExternal;
          const size_t before = at;
          if (space() && d.compare(at, 5, "NDATA") == 0) {
            at += 5;
            std::string notation;
            if (parameter || !space() || !name(notation)) return false;
          } else {
            at = before;
          }
        }
        space();
        if (at >= d.size() || d[at] != '>') return false;
        ++at;
        if (!parameter && !entities.count(entity)) entities[entity] = kind;
      } else {
        bool declaration = false;
        for (const char* keyword : {"<!ELEMENT", "<!ATTLIST", "<!NOTATION"}) {
          const size_t length = std::strlen(keyword);
          if (d.compare(at, length, keyword) != 0) continue;
          at += length;
          if (!space()) return false;
          while (at < d.size() && d[at] != '>') {
            if ((d[at] == '"' || d[at] == '\'') && !literal()) return false;
            if (at < d.size() && d[at] != '>') ++at;
          }
          if (at >= d.size()) return false;
          ++at;
          declaration = true;
          break;
        }
        if (!declaration) return false;
      }
    }
    space();
  }
  return at == d.size();
}

// [A-Za-z] ([A-Za-z0-9._] | '-')*
bool isEncodingName(const std::string& name) {
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

const char* predefined(const std::string& name) {
  if (name == "lt") return "<";
  if (name == "gt") return ">";
  if (name == "amp") return "&";
  if (name == "apos") return "'";
  if (name == "quot") return "\"";
  return nullptr;
}

class Checker {
 public:
  Checker(Dialect dialect, const std::string& text) : dialect_(dialect), text_(text) {}

  std::string check(pugi::xml_document& document) {
    pugi::xml_node root;
    bool first = true, doctype = false;
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
      switch (node.type()) {
        case pugi::node_declaration:
          if (!first || text_.compare(0, 5, "<?xml") != 0) return "an XML declaration that is not at the start";
          if (!checkDeclaration(node)) return "a malformed XML declaration";
          break;
        case pugi::node_doctype:
          if (doctype || root) return "a document type declaration out of place";
          doctype = true;
          if (!readDoctype(node.value(), entities_)) return "a malformed document type declaration";
          break;
        case pugi::node_element:
          if (root) return "more than one root element";
          root = node;
          break;
        case pugi::node_pcdata:
          for (const char* c = node.value(); *c; ++c)
            if (!isXmlSpace(*c)) return "text outside the root element";
          break;
        case pugi::node_comment:
        case pugi::node_pi:
          if (!checkMarkup(node)) return error_;
          break;
        default:
          return "a CDATA section outside the root element";
      }
      first = false;
    }
    if (!root) return "no root element";
    if (!walk(root)) return error_;
    for (pugi::xml_node node : removed_) node.parent().remove_child(node);
    for (pugi::xml_node node = document.first_child(); node;) {
      pugi::xml_node next = node.next_sibling();
      if (node != root) document.remove_child(node);
      node = next;
    }
    return "";
  }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  bool checkDeclaration(const pugi::xml_node& declaration) {
    pugi::xml_attribute attribute = declaration.first_attribute();
    if (!attribute || std::strcmp(attribute.name(), "version") != 0) return false;
    const std::string version = attribute.value();
    if (dialect_ == Dialect::kStream) {
      if (version != "1.0") return false;
    } else if (version.size() < 3 || version.compare(0, 2, "1.") != 0 ||
               version.find_first_not_of("0123456789", 2) != std::string::npos) {
      return false;
    }
    attribute = attribute.next_attribute();
    if (attribute && std::strcmp(attribute.name(), "encoding") == 0) {
      if (!isEncodingName(attribute.value())) return false;
      attribute = attribute.next_attribute();
    }
    if (attribute && std::strcmp(attribute.name(), "standalone") == 0) {
      const std::string value = attribute.value();
      if (value != "yes" && value != "no") return false;
      attribute = attribute.next_attribute();
    }
    return !attribute;
  }

  // Comments and processing instructions, wherever they are.
  bool checkMarkup(const pugi::xml_node& node) {
    if (node.type() == pugi::node_comment) {
      const std::string value = node.value();
      if (value.find("--") != std::string::npos || (!value.empty() && value.back() == '-'))
        return fail("\"--\" in a comment");
    } else if (!isName(node.name(), dialect_ != Dialect::kStream)) {
      return fail("a processing instruction without a proper target");
    }
    return true;
  }

  // Every node below the root, without recursion: `node` goes down to the
  // first child, along to the next sibling, and back up to the parent.
  bool walk(pugi::xml_node top) {
    pugi::xml_node node = top;
    for (;;) {
      if (!enter(node)) return false;
      if (pugi::xml_node child = node.first_child()) {
        node = child;
        continue;
      }
      for (;;) {
        if (node.type() == pugi::node_element) leave(node);
        if (node == top) return true;
        if (pugi::xml_node sibling = node.next_sibling()) {
          node = sibling;
          break;
        }
        node = node.parent();
      }
    }
  }

  bool enter(pugi::xml_node node) {
    switch (node.type()) {
      case pugi::node_element:
        return enterElement(node);
      case pugi::node_pcdata: {
        const char* raw = node.value();
        if (std::strstr(raw, "]]>")) return fail("\"]]>\" in a text");
        std::string text;
        if (!decode(raw, false, text)) return false;
        if (dialect_ == Dialect::kTree && isBlank(text)) {
          removed_.push_back(node);
        } else if (text != raw) {
          node.set_value(text.data(), text.size());
        }
        return true;
      }
      case pugi::node_cdata:
        return true;
      case pugi::node_comment:
      case pugi::node_pi:
        if (!checkMarkup(node)) return false;
        if (dialect_ == Dialect::kStream) removed_.push_back(node);
        return true;
      default:
        return fail("a declaration inside an element");
    }
  }

  static bool isBlank(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
      uint32_t c;
      if (!utf8::next(text, at, c) || !isUnicodeSpace(c)) return false;
    }
    return true;
  }

  bool enterElement(pugi::xml_node element) {
    const std::string name = element.name();
    if (!isName(name)) return fail("a malformed element name: " + name);
    std::set<std::string> names;
    std::map<std::string, std::string> declared;  // prefix ("" for the default) to namespace
    for (pugi::xml_attribute attribute = element.first_attribute(); attribute;
         attribute = attribute.next_attribute()) {
      const std::string attributeName = attribute.name();
      if (!isName(attributeName)) return fail("a malformed attribute name: " + attributeName);
      if (!names.insert(attributeName).second) return fail("attribute " + attributeName + " given twice");
      const char* raw = attribute.value();
      if (std::strchr(raw, '<')) return fail("'<' in the value of attribute " + attributeName);
      std::string value;
      if (!decode(raw, true, value)) return false;
      if (value != raw) attribute.set_value(value.data(), value.size());
      if (dialect_ != Dialect::kStream) continue;
      if (attributeName == "xmlns") {
        declared[""] = value;
      } else if (attributeName.compare(0, 6, "xmlns:") == 0) {
        const std::string prefix = attributeName.substr(6);
        if (value.empty() || prefix == "xmlns" || (prefix == "xml") != (value == kXmlNamespace))
          return fail("a namespace declaration that XML does not allow: " + attributeName);
        declared[prefix] = value;
      }
    }
    if (dialect_ != Dialect::kStream) return true;
    scopes_.push_back(std::move(declared));
    std::string local;
    if (!resolve(name, local, nullptr)) return false;
    std::set<std::pair<std::string, std::string>> expanded;
    for (pugi::xml_attribute attribute = element.first_attribute(); attribute;
         attribute = attribute.next_attribute()) {
      const std::string attributeName = attribute.name();
      if (attributeName == "xmlns" || attributeName.compare(0, 6, "xmlns:") == 0) continue;
      std::string attributeLocal, space;
      if (!resolve(attributeName, attributeLocal, &space)) return false;
      if (!expanded.emplace(space, attributeLocal).second) return fail("attribute " + attributeName + " given twice");
    }
    element.set_name(local.c_str());
    return true;
  }

  void leave(const pugi::xml_node&) {
    if (dialect_ == Dialect::kStream) scopes_.pop_back();
  }

  // The local part of a qualified name whose prefix is declared; the
  // namespace of a prefixed attribute into `space`.
  bool resolve(const std::string& name, std::string& local, std::string* space) {
    const size_t colon = name.find(':');
    if (colon == std::string::npos) {
      local = name;
      return true;
    }
    const std::string prefix = name.substr(0, colon);
    local = name.substr(colon + 1);
    if (!isName(prefix, false) || !isName(local, false)) return fail("a malformed qualified name: " + name);
    std::string uri = prefix == "xml" ? kXmlNamespace : "";
    for (auto scope = scopes_.rbegin(); uri.empty() && scope != scopes_.rend(); ++scope) {
      auto found = scope->find(prefix);
      if (found != scope->end()) uri = found->second;
    }
    if (uri.empty() || prefix == "xmlns") return fail("namespace prefix " + prefix + " is not declared");
    if (space) *space = uri;
    return true;
  }

  // Replaces the references in `raw`; false (with why) for one that is malformed,
  // names a character XML does not allow, or names an entity this reader does
  // not read.
  bool decode(const char* raw, bool attribute, std::string& out) {
    out.clear();
    const char* at = raw;
    for (;;) {
      const char* amp = std::strchr(at, '&');
      if (!amp) {
        out.append(at);
        return true;
      }
      out.append(at, size_t(amp - at));
      const char* semicolon = std::strchr(amp, ';');
      if (!semicolon) return fail("a reference without ';'");
      const std::string name(amp + 1, size_t(semicolon - amp - 1));
      at = semicolon + 1;
      if (!name.empty() && name[0] == '#') {
        uint32_t value = 0;
        const bool hex = name.size() > 1 && name[1] == 'x';
        const std::string digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8) return fail("a malformed character reference: &" + name + ";");
        for (char c : digits) {
          const int digit = c >= '0' && c <= '9'                 ? c - '0'
                            : hex && c >= 'a' && c <= 'f'        ? c - 'a' + 10
                            : hex && c >= 'A' && c <= 'F'        ? c - 'A' + 10
                                                                 : -1;
          if (digit < 0) return fail("a malformed character reference: &" + name + ";");
          value = value * (hex ? 16 : 10) + uint32_t(digit);
        }
        if (!isXmlChar(value)) return fail("a character reference to a character XML does not allow: &" + name + ";");
        utf8::append(out, value);
        continue;
      }
      if (!isName(name)) return fail("a malformed entity reference");
      if (const char* text = predefined(name)) {
        out += text;
        continue;
      }
      auto entity = entities_.find(name);
      if (entity != entities_.end() && entity->second == Entity::kInternal)
        return fail("a reference to entity " + name + ", which the document declares; declared entities are not read");
      const bool known = entity != entities_.end();
      if (dialect_ == Dialect::kStream && (!known || attribute))
        return fail("a reference to entity " + name + ", which is not declared or not allowed here");
      // An external or (in a tree) undeclared entity: nothing is read for it.
    }
  }

  static constexpr const char* kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

  const Dialect dialect_;
  const std::string& text_;
  std::map<std::string, Entity> entities_;
  std::vector<std::map<std::string, std::string>> scopes_;  // of the open elements, for kStream
  std::vector<pugi::xml_node> removed_;
  std::string error_;
};

}  // namespace

std::string read(const std::string& input, Dialect dialect, pugi::xml_document& document) {
  document.reset();
  std::string text;
  std::string error = prepare(input, dialect, text);
  if (!error.empty()) return error;
  unsigned options = pugi::parse_cdata | pugi::parse_comments | pugi::parse_pi | pugi::parse_declaration |
                     pugi::parse_doctype | pugi::parse_ws_pcdata | pugi::parse_fragment;
  if (dialect == Dialect::kStream) options |= pugi::parse_eol;
  const pugi::xml_parse_result result = document.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
  if (!result) return std::string(result.description()) + " at offset " + std::to_string(result.offset);
  error = Checker(dialect, text).check(document);
  if (!error.empty()) document.reset();
  return error;
}

std::string textOf(const pugi::xml_node& element) {
  std::string text;
  pugi::xml_node node = element.first_child();
  while (node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    if (node.type() == pugi::node_element && node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != element && !node.next_sibling()) node = node.parent();
    if (node == element) break;
    node = node.next_sibling();
  }
  return text;
}

}  // namespace xml
