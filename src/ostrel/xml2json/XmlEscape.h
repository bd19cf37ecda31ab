#pragma once

#include <string>

// Text as XML element content or attribute value: < > & ' " written as entity
// references; a control character that XML 1.0 forbids, and each byte that
// begins no well-formed UTF-8 character, becomes U+FFFD; every other character
// unchanged. At most `maxLength` bytes, never a character or reference cut.
std::string xmlEscape(const std::string& text, size_t maxLength = std::string::npos);

// The control characters other than tab, line feed and carriage return.
inline bool isXmlForbidden(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

// U+FFFD in UTF-8: what stands in for a character that cannot be carried.
constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";
