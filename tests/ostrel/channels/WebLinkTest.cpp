// The record a pending web-link event leaves for the business logic, from XML
// and from JSON events, as the records were always read.

#include "ostrel/channels/WebLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

struct Expected {
  std::string applicationId, localeCode, categoryId;
};

void expectRead(const std::string& message, const Expected& expected) {
  WebLink link;
  ASSERT_TRUE(WebLink::read(message, link)) << message;
  EXPECT_EQ(expected.applicationId, link.applicationId) << message;
  EXPECT_EQ(expected.localeCode, link.localeCode) << message;
  EXPECT_EQ(expected.categoryId, link.categoryId) << message;
}

bool isRefused(const std::string& message) {
  WebLink link;
  return !WebLink::read(message, link);
}

std::string nestedObjects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  text += "{\"applicationId\":\"d\"}";
  for (int i = 0; i < depth; ++i) text += "}";
  return text;
}

}  // namespace

TEST(WebLinkTest, XmlFieldsByNameAtAnyDepth) {
  expectRead("<Event><Type>WebLinkEvent</Type><Message xmlns:k=\"urn:k\"><k:applicationId>A<![CDATA[<1>]]>&#x42;"
             "</k:applicationId><categoryId> 3 </categoryId><localeCode>\xC3\xA9<b>x</b>y</localeCode>"
             "<applicationId>last</applicationId></Message></Event>",
             {"last", "\xC3\xA9xy", " 3 "});
  // What is inside a field's element belongs to that field.
  expectRead("<Event><Message><applicationId><localeCode>inner</localeCode>a</applicationId></Message></Event>",
             {"innera", "", ""});
  expectRead("<Event><Message><applicationId>a\r\nb</applicationId></Message></Event>", {"a\nb", "", ""});
  for (const char* message : {"<Event><Message><applicationId>x", "<Event><k:applicationId>1</k:applicationId></Event>",
                              "<Event><applicationId>a\x01</applicationId></Event>", "plain text", ""})
    EXPECT_TRUE(isRefused(message)) << message;
}

// Members in the order of their keys, the last of several for one field
// counting; values as text, numbers in the form they always had.
TEST(WebLinkTest, JsonFieldsAndValuesAsTheyWereAlwaysRead) {
  struct Case {
    std::string message;
    Expected expected;
  };
  const std::vector<Case> cases = {
      {"{\"event\":{\"type\":\"WebLinkEvent\",\"message\":{\"applicationId\":\"app-1\",\"categoryId\":\"2\","
       "\"localeCode\":\"en-US\"}}}",
       {"app-1", "en-US", "2"}},
      {" \t\r\n{ \"applicationId\" : \"a\" } \n", {"a", "", ""}},
      // Names in any case; of equal keys the last; objects entered in key order.
      {"{\"applicationid\":\"lower\",\"ApplicationId\":\"upper\",\"APPLICATIONID\":\"caps\"}", {"lower", "", ""}},
      {"{\"applicationId\":\"1\",\"applicationId\":\"2\"}", {"2", "", ""}},
      {"{\"z\":{\"applicationId\":\"z\"},\"a\":{\"applicationId\":\"a\"}}", {"z", "", ""}},
      {"{\"a\":{\"applicationId\":\"nested\"},\"applicationId\":\"top\"}", {"top", "", ""}},
      {"{\"applicationId\":\"top\",\"b\":{\"applicationId\":\"nested\"}}", {"nested", "", ""}},
      {"{\"applicationId\":{\"x\":1},\"applicationId\":\"2\"}", {"2", "", ""}},
      {"{\"applicationId\":\"1\",\"applicationId\":{\"categoryId\":\"c\"}}", {"", "", "c"}},
      {"{\"a\":[{\"applicationId\":\"inarray\"}],\"applicationId\":\"top\"}", {"top", "", ""}},
      {"{\"applicationId\":[1,2],\"categoryId\":{\"localeCode\":\"x\"},\"localecode\":\"y\"}", {"", "y", ""}},
      // Values that are no strings.
      {"{\"applicationId\":true,\"categoryId\":false,\"localeCode\":null}", {"true", "", "false"}},
      {"{\"applicationId\":42,\"categoryId\":1.5,\"localeCode\":1e20}", {"42", "1e+20", "1.5"}},
      {"{\"applicationId\":1000000,\"categoryId\":123456789012345678901234567890,\"localeCode\":-0}",
       {"1000000", "0", "1.2345678901234568e+29"}},
      {"{\"applicationId\":0.1,\"categoryId\":1e-7,\"localeCode\":12345678901234567}", {"0.1", "12345678901234567", "1e-07"}},
      {"{\"applicationId\":9007199254740993,\"categoryId\":100000000000000000000,\"localeCode\":1e21}",
       {"9007199254740993", "1e+21", "1e+20"}},
      {"{\"applicationId\":1.0,\"categoryId\":2.50,\"localeCode\":1E2}", {"1", "100", "2.5"}},
      {"{\"applicationId\":1e15,\"categoryId\":1e16,\"localeCode\":1e17}",
       {"1000000000000000", "100000000000000000", "10000000000000000"}},
      {"{\"applicationId\":123456.7,\"categoryId\":0.0001,\"localeCode\":0.00001}", {"123456.7", "1e-05", "0.0001"}},
      {"{\"applicationId\":-9223372036854775808,\"categoryId\":9223372036854775807,\"localeCode\":9223372036854775808}",
       {"-9223372036854775808", "9223372036854776000", "9223372036854775807"}},
      {"{\"applicationId\":3.14159265358979,\"categoryId\":2e-5,\"localeCode\":123.456e3}",
       {"3.14159265358979", "123456", "2e-05"}},
      {"{\"applicationId\":5e-324,\"localeCode\":0e-400}", {"5e-324", "0", ""}},
      {"{\"applicationId\":.5,\"categoryId\":-.5,\"localeCode\":1.e2}", {"0.5", "100", "-0.5"}},
      {"{\"applicationId\":1.}", {"1", "", ""}},
      // Escapes, also unknown ones, and characters.
      {"{\"applicationId\":\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\\u00e9\\u20ac\\ud83d\\ude00\"}",
       {"a\"b\\c/d\b\f\n\r\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "", ""}},
      {"{\"applicationId\":\"\\x\",\"applic\\u0061tionId\":\"k\"}", {"k", "", ""}},
      {"{\"applicationId\":\"a\\ud800b\",\"categoryId\":\"\\udc00\\ud800\"}", {"a?b", "", "??"}},
      {"{\"applicationId\":\"\\ud83d\\ud83d\\ude00\"}", {"?\xF0\x9F\x98\x80", "", ""}},
      {"{\"applicationId\":\"a\\\x80" "b\"}", {"a\xED\x9E\xBF?b", "", ""}},
      {std::string("{\"applicationId\":\"a\\u0000b\",\"localeCode\":\"a") + '\0' + "b\"}",
       {std::string("a\0b", 3), std::string("a\0b", 3), ""}},
      {"{\"applicationId\":\"a\x01" "b\tc\"}", {"a\x01" "b\tc", "", ""}},
      {"{\"applicationId\":\"\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80\"}", {"\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80", "", ""}},
      {"{}", {"", "", ""}},
  };
  for (const Case& c : cases) expectRead(c.message, c.expected);

  for (const char* message : {"{\"applicationId\":\"a\xFF\"}", "{\"applicationId\":\"a\"} x", "{\"applicationId\":\"a\",}",
                              "{'applicationId':'a'}", "{\"applicationId\":01}", "{\"applicationId\":+1}",
                              "{\"applicationId\":\"\\u00\"}", "{\x0B\"applicationId\":\"a\"}", "{\"applicationId\":tru}",
                              "{\"a\":1}{\"b\":2}", "{\"applicationId\":1e400}", "{\"applicationId\":1e-400}",
                              "{\"event\": broken", "{\"a\":[1,]}"})
    EXPECT_TRUE(isRefused(message)) << message;
}

// Objects and arrays nest up to 1024 deep; a megabyte of nesting is refused
// without a deep stack, a megabyte of text read without long.
TEST(WebLinkTest, JsonNestingAndMegabyteMessages) {
  const auto start = std::chrono::steady_clock::now();
  expectRead(nestedObjects(1023), {"d", "", ""});
  EXPECT_TRUE(isRefused(nestedObjects(1024)));
  std::string opened = "{\"a\":";
  while (opened.size() < (1u << 20)) opened += "[";
  EXPECT_TRUE(isRefused(opened));
  std::string objects;
  while (objects.size() < (1u << 20)) objects += "{\"a\":";
  EXPECT_TRUE(isRefused(objects));
  const std::string text(1 << 20, 'v');
  expectRead("{\"applicationId\":\"" + text + "\"}", {text, "", ""});
  std::string members = "{";
  for (int i = 0; i < 50000; ++i) members += "\"k" + std::to_string(i % 977) + "\":{\"localeCode\":\"" + std::to_string(i) + "\"},";
  members += "\"z\":0}";
  WebLink link;
  EXPECT_TRUE(WebLink::read(members, link));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// No declared entity is expanded and nothing outside the event is read.
TEST(WebLinkTest, XmlNeitherExpandsNorLoadsEntitiesAndReadsAMegabyte) {
  std::string laughs = "<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 2; i <= 9; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + (i == 2 ? std::string() : std::to_string(i - 1)) + ";";
    laughs += "\">";
  }
  laughs += "]><Event><Message><applicationId>&lol9;</applicationId></Message></Event>";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(isRefused(laughs));
  expectRead("<!DOCTYPE Event [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]><Event><Message>"
             "<applicationId>a&xxe;b</applicationId></Message></Event>",
             {"ab", "", ""});
  expectRead("<!DOCTYPE Event SYSTEM \"http://127.0.0.1:9/none.dtd\"><Event><applicationId>1</applicationId></Event>",
             {"1", "", ""});
  std::string deep = "<Event>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  deep += "<localeCode>L</localeCode>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  expectRead(deep + "</Event>", {"", "L", ""});
  const std::string text(1 << 20, 'x');
  expectRead("<Event><applicationId>" + text + "</applicationId></Event>", {text, "", ""});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
