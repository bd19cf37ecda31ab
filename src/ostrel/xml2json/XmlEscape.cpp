#include "ostrel/xml2json/XmlEscape.h"

namespace {

bool inRange(unsigned char byte, unsigned char low, unsigned char high) { return byte >= low && byte <= high; }

// The length of the well-formed UTF-8 sequence at `at` (1 to 4), or 0 when the
// bytes there are no character: a stray continuation byte, an overlong form,
// a surrogate, a code point beyond U+10FFFF, or a sequence cut short.
size_t utf8SequenceAt(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (inRange(lead, 0xC2, 0xDF)) {
    length = 2;
  } else if (inRange(lead, 0xE0, 0xEF)) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (inRange(lead, 0xF0, 0xF4)) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (!inRange(static_cast<unsigned char>(text[at + 1]), low, high)) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!inRange(static_cast<unsigned char>(text[at + i]), 0x80, 0xBF)) return 0;
  return length;
}

// What stands for one character of the text in XML, and how many bytes it took.
std::string escapedAt(const std::string& text, size_t at, size_t& taken) {
  taken = 1;
  switch (text[at]) {
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '"': return "&quot;";
    default: break;
  }
  // XML 1.0 cannot carry the other control characters, not even as
  // references, nor bytes that are no UTF-8: the document would be refused whole.
  if (isXmlForbidden(text[at])) return kReplacementCharacter;
  const size_t length = utf8SequenceAt(text, at);
  if (length == 0) return kReplacementCharacter;
  taken = length;
  return text.substr(at, length);
}

}  // namespace

std::string xmlEscape(const std::string& text, size_t maxLength) {
  std::string out;
  out.reserve(text.size() < maxLength ? text.size() : maxLength);
  for (size_t at = 0, taken = 0; at < text.size(); at += taken) {
    const std::string piece = escapedAt(text, at, taken);
    if (maxLength - out.size() < piece.size()) break;
    out += piece;
  }
  return out;
}
