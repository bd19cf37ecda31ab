#include "ostrel/services/RequestTemplate.h"

#include <gtest/gtest.h>

namespace {

std::string fill(const std::string& text, const ParameterMap& parameters) {
  return RequestTemplate(text, parameters).result();
}

TEST(RequestTemplate, PlaceholdersTakeTheirValueOrDisappear) {
  EXPECT_EQ(fill("<a>{x}</a>", {}), "<a></a>");
  EXPECT_EQ(fill("<a>{x}{x}</a>", {{"x", "1"}}), "<a>11</a>");
  EXPECT_EQ(fill("<a>{x}</a><b>{y}</b>", {{"x", "1"}, {"y", "2"}}), "<a>1</a><b>2</b>");
  EXPECT_EQ(fill("<getBanners></getBanners>", {{"x", "1"}}), "<getBanners></getBanners>");
  // Lookups are exact: case counts.
  EXPECT_EQ(fill("<l>{localeCode}</l>", {{"localecode", "en"}}), "<l></l>");
  EXPECT_EQ(fill("<l>{localeCode}</l>", {{"localecode", "en"}, {"localeCode", "de"}}), "<l>de</l>");
  // The name runs to the first "}", braces before it included.
  EXPECT_EQ(fill("<a>{{x}</a>", {{"{x", "v"}}), "<a>v</a>");
  EXPECT_EQ(fill("<a>{}</a>", {{"", "empty"}}), "<a>empty</a>");
  // An unclosed brace is literal text.
  EXPECT_EQ(fill("<a>{x</a>", {{"x", "1"}}), "<a>{x</a>");
}

TEST(RequestTemplate, ValuesAreXmlEscaped) {
  EXPECT_EQ(fill("<a>{x}</a>", {{"x", "<b & 'c'"}}), "<a>&lt;b &amp; &apos;c&apos;</a>");
  EXPECT_EQ(fill("<a>{x}</a>", {{"x", "\"q\" > p"}}), "<a>&quot;q&quot; &gt; p</a>");
  // Tab and UTF-8 bytes pass unchanged; a control character XML cannot carry is replaced.
  EXPECT_EQ(fill("<a>{x}</a>", {{"x", "\t\x01\xC3\xA9"}}), "<a>\t\xEF\xBF\xBD\xC3\xA9</a>");
  // A value that looks like a placeholder or marker is not filled again.
  EXPECT_EQ(fill("<a>{x}</a><o>[p]</o>", {{"x", "{y}[q]"}, {"y", "2"}}),
            "<a>{y}[q]</a><o><p><key>y</key><value>2</value></p></o>");
}

TEST(RequestTemplate, ListMarkerCarriesTheUnusedParameters) {
  const ParameterMap parameters{{"a", "1"}, {"b", "2"}};
  EXPECT_EQ(fill("<r>{a}<o>[p]</o></r>", parameters),
            "<r>1<o><p><key>b</key><value>2</value></p></o></r>");
  EXPECT_EQ(fill("<r><o>[p]</o></r>", parameters),
            "<r><o><p><key>a</key><value>1</value></p><p><key>b</key><value>2</value></p></o></r>");
  // Every parameter used: the marker leaves nothing.
  EXPECT_EQ(fill("<r>{a}{b}<o>[p]</o></r>", parameters), "<r>12<o></o></r>");
  EXPECT_EQ(fill("<r><o>[p]</o></r>", {}), "<r><o></o></r>");
  // A placeholder without a parameter removes nothing from the list.
  EXPECT_EQ(fill("<r>{z}<o>[p]</o></r>", {{"a", "1"}}),
            "<r><o><p><key>a</key><value>1</value></p></o></r>");
  // Map order is byte order: upper case before lower case.
  EXPECT_EQ(fill("[i]", {{"b", "1"}, {"B", "2"}, {"a", "3"}}),
            "<i><key>B</key><value>2</value></i><i><key>a</key><value>3</value></i>"
            "<i><key>b</key><value>1</value></i>");
}

TEST(RequestTemplate, OnlyOneMarkerExpands) {
  const ParameterMap parameters{{"a", "1"}, {"b", "2"}};
  // The marker after the last placeholder wins; an earlier one stays literal.
  EXPECT_EQ(fill("[p]{a}[q]", parameters), "[p]1<q><key>b</key><value>2</value></q>");
  // With no marker after the last placeholder, the first earlier one expands, with
  // the parameters that no placeholder (also a later one) used.
  EXPECT_EQ(fill("<o>[p]</o><r>{a}</r>", parameters),
            "<o><p><key>b</key><value>2</value></p></o><r>1</r>");
  EXPECT_EQ(fill("{x}<o>[p][q]</o>{b}<r>{a}</r>", parameters), "<o>[q]</o>2<r>1</r>");
  // A second marker in the expanded text stays as written.
  EXPECT_EQ(fill("{a}[p][q]", parameters), "1<p><key>b</key><value>2</value></p>[q]");
  // An unclosed bracket is no marker.
  EXPECT_EQ(fill("{a}<o>[p</o>", parameters), "1<o>[p</o>");
}

TEST(RequestTemplate, ListItemsEscapeValuesAndNames) {
  EXPECT_EQ(fill("[p]", {{"k", "a<b&c"}}), "<p><key>k</key><value>a&lt;b&amp;c</value></p>");
  // A parameter name comes from the request as sent: it must not add markup to
  // the request document.
  EXPECT_EQ(fill("[p]", {{"x></key><admin>1</admin><key>", "v"}}),
            "<p><key>x&gt;&lt;/key&gt;&lt;admin&gt;1&lt;/admin&gt;&lt;key&gt;</key>"
            "<value>v</value></p>");
}

TEST(RequestTemplate, ControlCharactersXmlCannotCarryBecomeReplacementCharacters) {
  // A search text with ESC or 0x0B made the whole request document malformed.
  EXPECT_EQ(RequestTemplate::xmlEscape(std::string("a\x1b[2J\x0b\x00z", 8), RequestTemplate::kNoLimit),
            "a\xEF\xBF\xBD[2J\xEF\xBF\xBD\xEF\xBF\xBDz");
  EXPECT_EQ(RequestTemplate::xmlEscape("tab\tline\nreturn\r", RequestTemplate::kNoLimit), "tab\tline\nreturn\r");
  EXPECT_EQ(RequestTemplate::xmlEscape("a\x01", 3), "a");
}

TEST(RequestTemplate, BytesThatAreNoUtf8BecomeReplacementCharacters) {
  // A search for "%ff%fe" made the business logic refuse the whole document.
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string text, escaped;
  };
  const Case cases[] = {
      {"\xff\xfe", r + r},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},  // kept whole
      {"\xC3", r},                      // cut short at the end
      {"\xC3z", r + "z"},               // cut short before a letter
      {"\xE2\x82z", r + r + "z"},        // each byte of a broken sequence
      {"\xC0\xAF", r + r},               // an overlong "/"
      {"\xE0\x80\xAF", r + r + r},        // another overlong
      {"\xED\xA0\x80", r + r + r},        // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
      {"\x80<", r + "&lt;"},            // a stray continuation byte
  };
  for (const Case& c : cases) EXPECT_EQ(c.escaped, RequestTemplate::xmlEscape(c.text, RequestTemplate::kNoLimit));
  // A character is never cut by the length.
  EXPECT_EQ("a", RequestTemplate::xmlEscape("a\xC3\xA9", 2));
  EXPECT_EQ("a\xC3\xA9", RequestTemplate::xmlEscape("a\xC3\xA9", 3));
}

TEST(RequestTemplate, EscapeStopsAtTheMaximumLengthWithoutSplittingAnEntity) {
  EXPECT_EQ(RequestTemplate::xmlEscape("a<b", RequestTemplate::kNoLimit), "a&lt;b");
  EXPECT_EQ(RequestTemplate::xmlEscape("a<b", 0), "");
  EXPECT_EQ(RequestTemplate::xmlEscape("a<b", 1), "a");
  EXPECT_EQ(RequestTemplate::xmlEscape("a<b", 4), "a");
  EXPECT_EQ(RequestTemplate::xmlEscape("a<b", 5), "a&lt;");
  EXPECT_EQ(RequestTemplate::xmlEscape("a<b", 6), "a&lt;b");
  EXPECT_EQ(RequestTemplate::xmlEscape("''", 11), "&apos;");
  EXPECT_EQ(RequestTemplate::xmlEscape("", 3), "");
}

}  // namespace
