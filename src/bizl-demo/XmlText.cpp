#include "bizl-demo/XmlText.h"

namespace bizl {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::string compactXml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, 4, "<!--") == 0 || text.compare(i, 2, "<?") == 0) {
      const bool comment = text[i + 1] == '!';
      size_t end = text.find(comment ? "-->" : "?>", i + 2);
      // An unterminated comment or instruction swallows the rest, as a parser would refuse it.
      i = end == std::string::npos ? text.size() : end + (comment ? 3 : 2);
      continue;
    }
    if (isSpace(text[i])) {
      size_t next = i;
      while (next < text.size() && isSpace(text[next])) ++next;
      const bool afterTag = out.empty() || out.back() == '>';
      const bool beforeTag = next == text.size() || text[next] == '<';
      if (!(afterTag && beforeTag)) out.append(text, i, next - i);
      i = next;
      continue;
    }
    out += text[i++];
  }
  return out;
}

}  // namespace bizl
