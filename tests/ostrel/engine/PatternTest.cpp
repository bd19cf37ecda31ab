// The CGI and SSI patterns, and the MD5 of digest authentication.
#include <cstring>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "ostrel/engine/auth.h"
#include "ostrel/engine/match.h"

namespace {

int match(const char* pattern, const char* text) { return match_prefix(pattern, std::strlen(pattern), text); }

}  // namespace

TEST(EnginePattern, DefaultPatterns) {
  const char* cgi = "**.cgi$|**.pl$|**.php$";
  EXPECT_EQ(9, match(cgi, "a/b/x.php"));
  EXPECT_EQ(9, match(cgi, "a\\b\\x.php"));
  EXPECT_EQ(-1, match(cgi, "x.php.txt"));
  EXPECT_EQ(-1, match(cgi, "x.PHP"));
  EXPECT_EQ(14, match(cgi, "/srv/www/y.cgi"));
  const char* ssi = "**.shtml$|**.shtm$";
  EXPECT_EQ(6, match(ssi, "a.shtm"));
  EXPECT_EQ(-1, match(ssi, "a.shtmlx"));
}

TEST(EnginePattern, Wildcards) {
  // "?" is one character, never the end.
  EXPECT_EQ(2, match("a?", "ab"));
  EXPECT_EQ(-1, match("a?", "a"));
  // "*" stays within one path component, "**" does not.
  EXPECT_EQ(5, match("*.cgi$", "x.cgi"));
  EXPECT_EQ(-1, match("*.cgi$", "d/x.cgi"));
  EXPECT_EQ(-1, match("*.cgi$", "d\\x.cgi"));
  EXPECT_EQ(7, match("**.cgi$", "d/x.cgi"));
  EXPECT_EQ(2, match("*", "ab/c"));
  // Longest run first: "**/" ends at the last separator.
  EXPECT_EQ(4, match("**/", "a/b/c"));
  EXPECT_EQ(4, match("*b", "abab/b"));
  // Anchored at the start; a prefix is enough without "$".
  EXPECT_EQ(3, match("abc", "abcd"));
  EXPECT_EQ(-1, match("abc$", "abcd"));
  EXPECT_EQ(-1, match("bc", "abc"));
}

// A literal tail anchored by "$" behind a wildcard can match in one place
// only; the answers are those of trying every run length.
TEST(EnginePattern, AnchoredTailsBehindWildcards) {
  EXPECT_EQ(4, match("**.cgi$", ".cgi"));   // an empty run
  EXPECT_EQ(-1, match("**.cgi$", "cgi"));   // shorter than the tail
  EXPECT_EQ(-1, match("**.cgi$", "a.cgi/b"));
  EXPECT_EQ(-1, match("*.cgi$", "a/b.cgi"));
  EXPECT_EQ(8, match("a/*.cgi$", "a/bb.cgi"));
  EXPECT_EQ(-1, match("a/*.cgi$", "a/b/c.cgi"));
  EXPECT_EQ(5, match("**$", "ab/cd"));
  EXPECT_EQ(-1, match("*$", "ab/cd"));
  EXPECT_EQ(2, match("*$", "ab"));
  EXPECT_EQ(4, match("**b$ignored", "a/ab"));  // nothing behind "$" counts
  EXPECT_EQ(6, match("**.p?p$", "/x.php"));    // "?" in the tail: every run is tried
  EXPECT_EQ(9, match("**/**.x$", "a/b/c/d.x"));
  EXPECT_EQ(-1, match_prefix("**a\0$", 5, "xa"));  // a NUL in a pattern matches nothing
}

TEST(EnginePattern, Alternatives) {
  EXPECT_EQ(2, match("x|ab", "abc"));
  EXPECT_EQ(1, match("a|ab", "abc"));  // the first that matches wins
  EXPECT_EQ(2, match("|ab", "ab"));    // an empty alternative matches nothing
  EXPECT_EQ(0, match("", "abc"));
  EXPECT_EQ(-1, match("x|y", "abc"));
  EXPECT_EQ(0, match("x|", "abc"));  // nothing matched: callers want more than 0
}

TEST(EngineMd5, Rfc1321AndDigestExamples) {
  char out[33];
  mg_md5(out, "", nullptr);
  EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", out);
  mg_md5(out, "abc", nullptr);
  EXPECT_STREQ("900150983cd24fb0d6963f7d28e17f72", out);
  mg_md5(out, "mess", "age ", "digest", nullptr);
  EXPECT_STREQ("f96b697d7cb7938d525a2f31aaf161d0", out);
  mg_md5(out, "12345678901234567890123456789012345678901234567890123456789012345678901234567890", nullptr);
  EXPECT_STREQ("57edf4a22be3c955ac49da2e2107b67a", out);
  // HA1 of the digest authentication example.
  mg_md5(out, "Mufasa", ":", "testrealm@host.com", ":", "Circle Of Life", nullptr);
  EXPECT_STREQ("939e7578ed9e3c518a452acee763bce9", out);
}
