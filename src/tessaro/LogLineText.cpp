#include "tessaro/LogLineText.h"

#include <cstddef>

namespace {

constexpr int kFieldSeparators = 5;

void appendEscaped(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  if (byte == '\n') {
    out += "\\n";
  } else if (byte == '\r') {
    out += "\\r";
  } else {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
}

// The length of the valid UTF-8 sequence at TEXT[AT], 0 when there is none.
size_t sequenceLength(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// U+0080 to U+009F: escape sequences to some terminals (U+009B is CSI).
bool isC1Control(const std::string& text, size_t at) {
  return static_cast<unsigned char>(text[at]) == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
}

}  // namespace

std::string safeLogLine(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  int separators = 0;
  for (size_t i = 0; i < line.size();) {
    const unsigned char byte = static_cast<unsigned char>(line[i]);
    if (byte == 0x0B && separators < kFieldSeparators) {
      separators++;
      out += line[i++];
    } else if (byte == '\t' || (byte >= 0x20 && byte < 0x7F)) {
      out += line[i++];
    } else if (byte < 0x80) {
      appendEscaped(out, byte);
      i++;
    } else if (size_t length = sequenceLength(line, i); length > 0 && !isC1Control(line, i)) {
      out.append(line, i, length);
      i += length;
    } else {
      appendEscaped(out, byte);
      i++;
    }
  }
  return out;
}
