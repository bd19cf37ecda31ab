#include "tessaro/LogLineText.h"

#include <gtest/gtest.h>

namespace {

const std::string kFields = "2026-Dec-09 10:00:00\x0B" "1\x0B" "INFO\x0B" "ostrel\x0B" "f.cpp[1]\x0B";

TEST(SafeLogLineTest, KeepsTheFieldsAndPrintableTextOfAnyScript) {
  const std::string line = kFields + "GET /caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\ttab";
  EXPECT_EQ(line, safeLogLine(line));
}

TEST(SafeLogLineTest, ControlsInTheTextAreShownNotObeyed) {
  EXPECT_EQ(kFields + "a\\nb\\rc\\x0bd\\x1b[2J\\x00\\x7f",
            safeLogLine(kFields + std::string("a\nb\rc\x0B" "d\x1B[2J\0\x7F", 13)));
  // C1 controls in UTF-8 (U+009B is a terminal's CSI), and bytes of no valid
  // sequence: a lone 0x9B, an overlong '/', a surrogate, a cut sequence.
  EXPECT_EQ(kFields + "\\xc2\\x9b31m \\x9b \\xc0\\xaf \\xed\\xa0\\x80 \\xe2\\x82",
            safeLogLine(kFields + "\xC2\x9B" "31m \x9B \xC0\xAF \xED\xA0\x80 \xE2\x82"));
}

TEST(SafeLogLineTest, ALineWithoutItsFieldsIsEscapedWhole) {
  EXPECT_EQ("host says\x0Bhi\\n", safeLogLine("host says\x0Bhi\n"));
  EXPECT_EQ("", safeLogLine(""));
}

}  // namespace
