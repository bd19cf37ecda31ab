#pragma once

// UTF-8 as the plug-ins have always read it: a byte that starts no valid
// sequence (a stray continuation byte, an overlong form, a surrogate, a lead
// byte whose continuation is missing) is one invalid byte, and decoding goes on
// with the next byte. Text that was decoded and encoded again reads each such
// byte as U+FFFD.

#include <cstddef>
#include <cstdint>
#include <string>

namespace utf8 {

// The character that starts at `at`, which is moved past it; false for an
// invalid byte, which is skipped.
bool next(const std::string& text, size_t& at, uint32_t& character);

// The text with each invalid byte replaced by U+FFFD.
std::string withReplacements(const std::string& text);

bool isValid(const std::string& text);

// Appends the character in UTF-8.
void append(std::string& out, uint32_t character);

}  // namespace utf8
