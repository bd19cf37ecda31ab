#include "common/text/Utf8.h"

namespace utf8 {

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool next(const std::string& text, size_t& at, uint32_t& character) {
  const unsigned char lead = static_cast<unsigned char>(text[at++]);
  if (lead < 0x80) {
    character = lead;
    return true;
  }
  size_t needed;
  uint32_t value, least;
  if (lead < 0xC2) {
    return false;  // a continuation byte, or the lead of an overlong form
  } else if (lead < 0xE0) {
    needed = 1, value = lead & 0x1F, least = 0x80;
  } else if (lead < 0xF0) {
    needed = 2, value = lead & 0x0F, least = 0x800;
  } else if (lead < 0xF5) {
    needed = 3, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (text.size() - at < needed) return false;
  for (size_t i = 0; i < needed; ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[at + i]);
    if (!isContinuation(byte)) return false;
    value = value << 6 | (byte & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  at += needed;
  character = value;
  return true;
}

void append(std::string& out, uint32_t character) {
  if (character < 0x80) {
    out += char(character);
  } else if (character < 0x800) {
    out += char(0xC0 | character >> 6);
    out += char(0x80 | (character & 0x3F));
  } else if (character < 0x10000) {
    out += char(0xE0 | character >> 12);
    out += char(0x80 | (character >> 6 & 0x3F));
    out += char(0x80 | (character & 0x3F));
  } else {
    out += char(0xF0 | character >> 18);
    out += char(0x80 | (character >> 12 & 0x3F));
    out += char(0x80 | (character >> 6 & 0x3F));
    out += char(0x80 | (character & 0x3F));
  }
}

std::string withReplacements(const std::string& text) {
  if (isValid(text)) return text;
  std::string out;
  out.reserve(text.size() + 16);
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = at;
    uint32_t character;
    if (next(text, at, character)) {
      out.append(text, start, at - start);
    } else {
      out += "\xEF\xBF\xBD";
    }
  }
  return out;
}

bool isValid(const std::string& text) {
  size_t at = 0;
  uint32_t character;
  while (at < text.size()) {
    // Runs of ASCII, the common case, need no decoding.
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      ++at;
      continue;
    }
    if (!next(text, at, character)) return false;
  }
  return true;
}

}  // namespace utf8
