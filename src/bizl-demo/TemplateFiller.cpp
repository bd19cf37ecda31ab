#include "bizl-demo/TemplateFiller.h"

#include <cctype>

namespace bizl {

namespace {

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == ':' || c == '-';
}

}  // namespace

std::string fillTemplate(const std::string& text, PlaceholderSource& source) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find('{', pos);
    if (open == std::string::npos) break;
    out.append(text, pos, open - pos);
    size_t start = open + 1;
    const bool mandatory = start < text.size() && text[start] == '!';
    if (mandatory) ++start;
    size_t end = start;
    while (end < text.size() && isNameChar(text[end])) ++end;
    if (end == start || end == text.size() || text[end] != '}') {
      out += '{';
      pos = open + 1;
      continue;
    }
    out += source.resolve(text.substr(start, end - start), mandatory);
    pos = end + 1;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

}  // namespace bizl
