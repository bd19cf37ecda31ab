#include "common/text/Utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Each byte that starts no valid sequence is one U+FFFD; the next byte starts afresh.
TEST(Utf8Test, InvalidBytesReadAsReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string text, read;
  };
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xEF\xBF\xBE\xEF\xBF\xBF", "\xEF\xBF\xBE\xEF\xBF\xBF"},  // noncharacters are characters
      {"a\xFF" "b", "a" + r + "b"},
      {"\x80\xBF", r + r},                    // stray continuation bytes
      {"\xC0\x80", r + r},                    // an overlong form
      {"\xE0\x80\xAF", r + r + r},
      {"\xED\xA0\x80", r + r + r},            // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},    // past U+10FFFF
      {"\xE2\x82", r + r},                    // cut short at the end
      {"\xE2\x22", r + "\""},                 // cut short by an ASCII byte, which stays
      {"\xF0\x9F\x98", r + r + r},
      {"\xC3(", r + "("},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.read, utf8::withReplacements(c.text)) << c.text;
    EXPECT_EQ(c.read == c.text, utf8::isValid(c.text)) << c.text;
  }
  std::string appended;
  for (uint32_t c : {0x41u, 0xE9u, 0x20ACu, 0x1F600u}) utf8::append(appended, c);
  EXPECT_EQ("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", appended);
}
