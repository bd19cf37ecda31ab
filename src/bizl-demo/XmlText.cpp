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
    const bool instruction = text.compare(i, 2, "<?") == 0;
    if (instruction || text.compare(i, 4, "<!--") == 0) {
      size_t end = text.find(instruction ? "?>" : "-->", i + 2);
      // An unterminated comment or instruction swallows the rest, as a parser would refuse it.
      i = end == std::string::npos ? text.size() : end + (instruction ? 2 : 3);
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
    // Up to the next tag or white space, which are looked at above.
    size_t next = i + 1;
    while (next < text.size() && text[next] != '<' && !isSpace(text[next])) ++next;
    out.append(text, i, next - i);
    i = next;
  }
  return out;
}

}  // namespace bizl
