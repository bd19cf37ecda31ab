#include "tessaro/XMLTool.h"

#include <pugixml.hpp>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

// Documents are read as trees: a text of nothing but white space is left out
// unless it is a CDATA section, line ends stay as written, names are taken
// whole (namespaces are not looked at), and an invalid UTF-8 byte reads as
// U+FFFD. No entity that a document declares is expanded and nothing outside
// the text is loaded: a reference to an entity declared in the document's DTD
// refuses the document, one to an undeclared or external entity reads as
// nothing. What XML does not allow is refused.

namespace {

// --- Characters

// The character at `at`, which moves past it; false for a byte that starts no
// valid UTF-8 sequence, which is skipped.
bool nextCharacter(const std::string& text, size_t& at, uint32_t& c) {
  const unsigned char lead = static_cast<unsigned char>(text[at++]);
  if (lead < 0x80) {
    c = lead;
    return true;
  }
  size_t needed;
  uint32_t least;
  if (lead < 0xC2) return false;
  if (lead < 0xE0) {
    needed = 1, c = lead & 0x1F, least = 0x80;
  } else if (lead < 0xF0) {
    needed = 2, c = lead & 0x0F, least = 0x800;
  } else if (lead < 0xF5) {
    needed = 3, c = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (text.size() - at < needed) return false;
  uint32_t value = c;
  for (size_t i = 0; i < needed; ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[at + i]);
    if ((byte & 0xC0) != 0x80) return false;
    value = value << 6 | (byte & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  at += needed;
  c = value;
  return true;
}

void appendCharacter(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 0x3F));
    out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
  }
}

// Every text the tool holds is UTF-8: each invalid byte becomes U+FFFD, and a
// byte order mark at the start goes.
std::string validUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (at < text.size()) {
    const size_t start = at;
    uint32_t c;
    if (nextCharacter(text, at, c)) {
      out.append(text, start, at - start);
    } else {
      out += "\xEF\xBF\xBD";
    }
  }
  return out;
}

// A node's text cannot hold U+0000: it is kept as the two bytes C0 80, which
// valid UTF-8 never holds, and given back as U+0000.
constexpr const char* kHeldNul = "\xC0\x80";

std::string held(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\0') {
      out += kHeldNul;
    } else {
      out += c;
    }
  }
  return out;
}

std::string released(const char* text) {
  std::string out = text;
  for (size_t at = out.find(kHeldNul); at != std::string::npos; at = out.find(kHeldNul, at + 1))
    out.replace(at, 2, 1, '\0');
  return out;
}

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

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
// are what encoding faults leave).
bool isName(const std::string& name) {
  if (name.empty()) return false;
  size_t at = 0;
  bool first = true;
  while (at < name.size()) {
    uint32_t c;
    if (!nextCharacter(name, at, c) || !(first ? isNameStartChar(c) : isNameChar(c))) return false;
    first = false;
  }
  return true;
}

// --- Reading

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

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  // Empty when the document was read into `document`, else why not.
  std::string read(pugi::xml_document& document) {
    // One byte order mark is gone already; a second one is text before the root.
    if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) return failAt(0, "text outside the root element");
    size_t at = 0;
    while (at < text_.size()) {
      const size_t start = at;
      uint32_t c;
      nextCharacter(text_, at, c);
      if (c == 0 || c == 0xFFFE || c == 0xFFFF) return failAt(start, "a character XML does not allow");
    }
    const unsigned options = pugi::parse_cdata | pugi::parse_comments | pugi::parse_pi | pugi::parse_declaration |
                             pugi::parse_doctype | pugi::parse_ws_pcdata | pugi::parse_fragment;
    const pugi::xml_parse_result result = document.load_buffer(text_.data(), text_.size(), options, pugi::encoding_utf8);
    if (!result) return failAt(size_t(result.offset), result.description());
    if (!checkTop(document) || !walk(document.document_element())) return error_;
    for (pugi::xml_node node : blank_) node.parent().remove_child(node);
    const pugi::xml_node root = document.document_element();
    for (pugi::xml_node node = document.first_child(); node;) {
      const pugi::xml_node next = node.next_sibling();
      if (node != root) document.remove_child(node);
      node = next;
    }
    return "";
  }

 private:
  std::string failAt(size_t offset, const std::string& why) {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line, column = 1;
      } else {
        ++column;
      }
    }
    return "ill-formed XML at line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + why;
  }

  bool fail(const std::string& why) {
    error_ = "ill-formed XML: " + why;
    return false;
  }

  bool checkTop(const pugi::xml_document& document) {
    bool first = true, doctype = false, root = false;
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling(), first = false) {
      switch (node.type()) {
        case pugi::node_declaration:
          if (!first || text_.compare(0, 5, "<?xml") != 0) return fail("an XML declaration that is not at the start");
          if (!checkDeclaration(node)) return fail("a malformed XML declaration");
          break;
        case pugi::node_doctype:
          if (doctype || root) return fail("a document type declaration out of place");
          doctype = true;
          if (!readDoctype(node.value(), entities_)) return fail("a malformed document type declaration");
          break;
        case pugi::node_element:
          if (root) return fail("more than one root element");
          root = true;
          break;
        case pugi::node_pcdata:
          for (const char* c = node.value(); *c; ++c)
            if (!isXmlSpace(*c)) return fail("text outside the root element");
          break;
        case pugi::node_comment:
        case pugi::node_pi:
          if (!checkMarkup(node)) return false;
          break;
        default:
          return fail("a CDATA section outside the root element");
      }
    }
    return root || fail("no root element");
  }

  static bool checkDeclaration(const pugi::xml_node& declaration) {
    pugi::xml_attribute attribute = declaration.first_attribute();
    if (!attribute || std::strcmp(attribute.name(), "version") != 0) return false;
    const std::string version = attribute.value();
    if (version.size() < 3 || version.compare(0, 2, "1.") != 0 ||
        version.find_first_not_of("0123456789", 2) != std::string::npos)
      return false;
    attribute = attribute.next_attribute();
    if (attribute && std::strcmp(attribute.name(), "encoding") == 0) {
      // Only its form: the text is UTF-8 whatever it says.
      const std::string name = attribute.value();
      if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
      for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
      attribute = attribute.next_attribute();
    }
    if (attribute && std::strcmp(attribute.name(), "standalone") == 0) {
      const std::string value = attribute.value();
      if (value != "yes" && value != "no") return false;
      attribute = attribute.next_attribute();
    }
    return !attribute;
  }

  bool checkMarkup(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pi) return isName(node.name()) || fail("a processing instruction without a target");
    const std::string value = node.value();
    if (value.find("--") != std::string::npos || (!value.empty() && value.back() == '-'))
      return fail("\"--\" in a comment");
    return true;
  }

  // Every node below the root, without recursion.
  bool walk(pugi::xml_node top) {
    pugi::xml_node node = top;
    for (;;) {
      if (!enter(node)) return false;
      if (pugi::xml_node child = node.first_child()) {
        node = child;
        continue;
      }
      while (node != top && !node.next_sibling()) node = node.parent();
      if (node == top) return true;
      node = node.next_sibling();
    }
  }

  bool enter(pugi::xml_node node) {
    switch (node.type()) {
      case pugi::node_element: {
        if (!isName(node.name())) return fail(std::string("a malformed element name: ") + node.name());
        std::vector<std::string> names;
        for (pugi::xml_attribute attribute = node.first_attribute(); attribute;
             attribute = attribute.next_attribute()) {
          const std::string name = attribute.name();
          if (!isName(name)) return fail("a malformed attribute name: " + name);
          for (const std::string& earlier : names)
            if (earlier == name) return fail("attribute " + name + " given twice");
          names.push_back(name);
          if (std::strchr(attribute.value(), '<')) return fail("'<' in the value of attribute " + name);
          std::string value;
          if (!decode(attribute.value(), value)) return false;
          attribute.set_value(value.c_str());
        }
        return true;
      }
      case pugi::node_pcdata: {
        if (std::strstr(node.value(), "]]>")) return fail("\"]]>\" in a text");
        std::string text;
        if (!decode(node.value(), text)) return false;
        if (isBlank(text)) {
          blank_.push_back(node);
        } else {
          node.set_value(text.c_str());
        }
        return true;
      }
      case pugi::node_cdata:
        return true;
      case pugi::node_comment:
      case pugi::node_pi:
        return checkMarkup(node);
      default:
        return fail("a declaration inside an element");
    }
  }

  static bool isBlank(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
      uint32_t c;
      if (!nextCharacter(text, at, c) || !isUnicodeSpace(c)) return false;
    }
    return true;
  }

  bool decode(const char* raw, std::string& out) {
    out.clear();
    for (const char* at = raw;;) {
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
        const bool hex = name.size() > 1 && name[1] == 'x';
        const std::string digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8) return fail("a malformed character reference: &" + name + ";");
        uint32_t value = 0;
        for (char c : digits) {
          int digit = -1;
          if (c >= '0' && c <= '9') digit = c - '0';
          if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
          if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
          if (digit < 0) return fail("a malformed character reference: &" + name + ";");
          value = value * (hex ? 16 : 10) + uint32_t(digit);
        }
        if (!isXmlChar(value)) return fail("a character reference to a character XML does not allow: &" + name + ";");
        appendCharacter(out, value);
        continue;
      }
      if (!isName(name)) return fail("a malformed entity reference");
      static const std::map<std::string, const char*> kPredefined = {
          {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"apos", "'"}, {"quot", "\""}};
      auto predefined = kPredefined.find(name);
      if (predefined != kPredefined.end()) {
        out += predefined->second;
        continue;
      }
      auto entity = entities_.find(name);
      if (entity != entities_.end() && entity->second == Entity::kInternal)
        return fail("a reference to entity " + name + ", which the document declares; declared entities are not read");
      // An undeclared or external entity: nothing is read for it.
    }
  }

  std::string text_;
  std::map<std::string, Entity> entities_;
  std::vector<pugi::xml_node> blank_;
  std::string error_;
};

// --- Writing, in the host's form: no declaration, no indentation; in texts
// "<", "&", a ">" after "]]" and carriage returns as references; in attribute
// values also '"', tab, line feed and carriage return.

std::string escaped(const std::string& text, bool attribute) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '<') {
      out += "&lt;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '>' && i >= 2 && text[i - 1] == ']' && text[i - 2] == ']') {
      out += "&gt;";
    } else if (attribute && c == '"') {
      out += "&quot;";
    } else if (attribute && c == '\t') {
      out += "&#x9;";
    } else if (attribute && c == '\n') {
      out += "&#xa;";
    } else if (c == '\r') {
      out += "&#xd;";
    } else {
      out += c;
    }
  }
  return out;
}

bool isText(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

void write(const pugi::xml_node& top, std::string& out) {
  pugi::xml_node node = top;
  for (;;) {
    switch (node.type()) {
      case pugi::node_element:
        out += "<" + released(node.name());
        for (pugi::xml_attribute attribute : node.attributes())
          out += " " + released(attribute.name()) + "=\"" + escaped(released(attribute.value()), true) + "\"";
        out += node.first_child() ? ">" : "/>";
        break;
      case pugi::node_pcdata:
        out += escaped(released(node.value()), false);
        break;
      case pugi::node_cdata: {
        std::string text = released(node.value());
        for (size_t at = text.find("]]>"); at != std::string::npos; at = text.find("]]>", at + 15))
          text.replace(at, 3, "]]]]><![CDATA[>");
        out += "<![CDATA[" + text + "]]>";
        break;
      }
      case pugi::node_comment: {
        const std::string text = released(node.value());
        out += "<!--" + text + (!text.empty() && text.back() == '-' ? " " : "") + "-->";
        if (!isText(node.next_sibling())) out += "\n";
        break;
      }
      case pugi::node_pi:
        out += std::string("<?") + node.name() + " " + node.value() + "?>\n";
        break;
      default:
        break;
    }
    if (node.type() == pugi::node_element && node.first_child()) {
      node = node.first_child();
      continue;
    }
    for (;;) {
      if (node == top) return;
      if (pugi::xml_node sibling = node.next_sibling()) {
        node = sibling;
        break;
      }
      node = node.parent();
      out += "</" + released(node.name()) + ">";
    }
  }
}

// --- Paths

struct Segment {
  std::string name;
  int index = 0;
};

std::vector<Segment> splitPath(const std::string& path) {
  std::vector<Segment> segments;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    Segment segment;
    size_t bracket = part.find('[');
    if (bracket != std::string::npos && part.back() == ']') {
      try {
        segment.index = std::stoi(part.substr(bracket + 1, part.size() - bracket - 2));
      } catch (const std::exception&) {
        throw tctl::illformed_serialized_object_exception("bad element index in path: " + path);
      }
      part.erase(bracket);
    }
    if (part.empty() || segment.index < 0)
      throw tctl::illformed_serialized_object_exception("bad element path: " + path);
    segment.name = held(validUtf8(part));
    segments.push_back(segment);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return segments;
}

pugi::xml_node nthChild(const pugi::xml_node& parent, const Segment& segment) {
  pugi::xml_node child = parent.child(segment.name.c_str());
  for (int i = 0; i < segment.index && child; ++i) child = child.next_sibling(segment.name.c_str());
  return child;
}

// Every text below the element, texts and CDATA sections alike, in document order.
std::string textOf(const pugi::xml_node& element) {
  std::string text;
  pugi::xml_node node = element.first_child();
  while (node) {
    if (isText(node)) text += released(node.value());
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

class PugiXMLTool : public IXMLTool {
 public:
  PugiXMLTool() = default;
  explicit PugiXMLTool(const std::string& text) {
    const std::string error = Reader(validUtf8(text)).read(document_);
    if (!error.empty()) throw tctl::illformed_serialized_object_exception(error);
  }

  void setValue(const std::string& path, const std::string& value) override {
    pugi::xml_node element = create(path);
    while (element.first_child()) element.remove_child(element.first_child());
    if (!value.empty()) element.append_child(pugi::node_pcdata).set_value(held(validUtf8(value)).c_str());
  }

  void addElement(const std::string& path) override { create(path); }

  std::string getValue(const std::string& path) const override {
    const pugi::xml_node element = find(path);
    if (!element) throw tctl::mandatory_element_not_found_exception(path);
    return textOf(element);
  }

  bool hasElement(const std::string& path) const override { return bool(find(path)); }

  int countElements(const std::string& path) const override {
    std::vector<Segment> segments = splitPath(path);
    const Segment last = segments.back();
    if (segments.size() == 1) {
      const pugi::xml_node root = document_.document_element();
      return root && last.name == root.name() ? 1 : 0;
    }
    segments.pop_back();
    const pugi::xml_node parent = walk(segments);
    if (!parent) return 0;
    int count = 0;
    for (pugi::xml_node child = parent.child(last.name.c_str()); child; child = child.next_sibling(last.name.c_str()))
      ++count;
    return count;
  }

  std::string serialize() const override {
    const pugi::xml_node root = document_.document_element();
    if (!root) throw tctl::illformed_serialized_object_exception("nothing to serialize: the document is empty");
    std::string out;
    write(root, out);
    return out;
  }

 private:
  pugi::xml_node walk(const std::vector<Segment>& segments) const {
    pugi::xml_node element = document_.document_element();
    if (!element || segments[0].name != element.name() || segments[0].index != 0) return pugi::xml_node();
    for (size_t i = 1; i < segments.size() && element; ++i) element = nthChild(element, segments[i]);
    return element;
  }

  pugi::xml_node find(const std::string& path) const { return walk(splitPath(path)); }

  pugi::xml_node create(const std::string& path) {
    const std::vector<Segment> segments = splitPath(path);
    pugi::xml_node element = document_.document_element();
    if (!element) {
      element = document_.append_child(segments[0].name.c_str());
    } else if (segments[0].name != element.name() || segments[0].index != 0) {
      throw tctl::illformed_serialized_object_exception("a document has one root; cannot write " + path);
    }
    for (size_t i = 1; i < segments.size(); ++i) {
      const Segment& segment = segments[i];
      int existing = 0;
      pugi::xml_node child = element.child(segment.name.c_str());
      while (child && existing < segment.index) {
        child = child.next_sibling(segment.name.c_str());
        ++existing;
      }
      if (!child) {
        for (int n = existing; n <= segment.index; ++n) child = element.append_child(segment.name.c_str());
      }
      element = child;
    }
    return element;
  }

  pugi::xml_document document_;
};

}  // namespace

IXMLToolPtr bootStrapCreate() { return std::make_shared<PugiXMLTool>(); }

IXMLToolPtr bootStrapCreate(const std::string& text, int options) {
  if (options != 0) throw tctl::illformed_serialized_object_exception("unsupported options");
  return std::make_shared<PugiXMLTool>(text);
}
