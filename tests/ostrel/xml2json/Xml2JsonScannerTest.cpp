// The two text patterns of the converter, " ([^=]*)=([^ |>]*)" for attributes and
// "<\![^>]*>" for markup declarations, are scanned by hand. These cases pin what
// the patterns matched where a scanner could easily differ (names with spaces,
// value ends, empty parts, a start without its end) and feed each scanner 1 MB.
#include "ostrel/xml2json/Xml2Json.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

std::string convert(const std::string& xml) { return Xml2Json().convert(xml); }

std::string repeat(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Converts on a thread of its own and gives up waiting after `limit`: a scan that
// restarts at every position (minutes on 1 MB) fails the test instead of blocking
// it, and one that recurses per character would crash the test.
std::optional<std::string> convertWithin(std::string xml, std::chrono::seconds limit) {
  auto done = std::make_shared<std::promise<std::string>>();
  std::future<std::string> result = done->get_future();
  std::thread([done, xml = std::move(xml)]() mutable {
    done->set_value(Xml2Json().convert(std::move(xml)));
  }).detach();
  if (result.wait_for(limit) != std::future_status::ready) return std::nullopt;
  return result.get();
}

constexpr std::chrono::seconds kLimit{60};
constexpr std::size_t kMegabyte = 1u << 20;

struct Case {
  std::string xml;
  std::string json;
};

void expectAll(const Case* cases, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    EXPECT_EQ(convert(cases[i].xml), cases[i].json) << "input: " << cases[i].xml;
  }
}

TEST(Xml2JsonScanners, AttributeNamesAndValues) {
  const Case cases[] = {
      // The name runs from the first space to the next "=", spaces and tags included.
      {"<r><a b c=1></a></r>", R"({"r":{"a":{"b c":"1"}}})"},
      {"<r><a x><b y=1></b></a></r>", ""},
      {"<r><a x\n=1></a></r>", R"({"r":{"a":{"x\n":"1"}}})"},
      {std::string("<r><a x") + '\0' + "y=1\x80\xFE></a></r>", std::string(R"({"r":{"a":{"x)") + '\0' + R"(y":")" + "1\x80" + R"("}}})"},
      // A tab starts no attribute.
      {"<r><a\tx=1></a></r>", R"({"r":{"a\tx=1":{}}})"},
      // The value ends at a space, "|" or ">", or with the text.
      {"<r><a x=1|2></a></r>", R"({"r":{"a":{"x":"1"}}})"},
      {"<r><a x=\"a|b\"/></r>", R"({"r":{"a":{"x":"a"}}})"},
      {"<r><a x=1 y=2></a></r>", R"({"r":{"a":{"x":"1","y":"2"}}})"},
      {"<r><a x=1", R"({"r":{"a":{"x":"1"}}})"},
      {"<r><a x=1 /><a x=2 /></r>", R"({"r":{"a":[{"x":"1"},{"x":"2"}]}})"},
      // An "=" in the value belongs to it; quotes are not delimiters.
      {"<r><a x==1></a></r>", R"({"r":{"a":{"x":"=1"}}})"},
      {"<r><a x=\"1=2\"></a></r>", R"({"r":{"a":{"x":"1=2"}}})"},
      {"<r><a x=\"1\"y=\"2\"></a></r>", R"({"r":{"a":{"x":"1\"y=\"2"}}})"},
      {"<r><a x='1'></a></r>", R"({"r":{"a":{"x":"'1'"}}})"},
      // Empty names and values.
      {"<r><a x= y=2></a></r>", R"({"r":{"a":{"x":{},"y":"2"}}})"},
      {"<r><a x=></a></r>", R"({"r":{"a":{"x":{}}}})"},
      {"<r><a =1></a></r>", R"({"r":{"a":{"":"1"}}})"},
      {" =", R"({"":{"":{}}})"},
      {" a=b", R"({"":{"a":"b"}})"},
      // A space that no "=" follows starts nothing.
      {"<r><a b><c>1</c></a></r>", R"({"r":{"a b":{"c":"1"}}})"},
      {" ", R"({" ":{}})"},
      {"=", R"({"=":{}})"},
      // Element text is guarded; text after the document is not.
      {"<r><a>x = y</a><b x=1/></r>", R"({"r":{"a":"x = y","b":{"x":"1"}}})"},
      {"<r><a x=1/></r> =tail", R"({"r":{"a":{"x":"1"}},"":{}})"},
      {"<r> <a x=1/></r>", R"({"r":{"a":{"x":"1"}}})"},
      // Attributes stand before the content; the element's own text is dropped.
      {"<r><a x=1>text</a></r>", R"({"r":{"a":{"x":"1"}}})"},
      {"<r><a x=1><b>2</b></a></r>", R"({"r":{"a":{"x":"1","b":"2"}}})"},
  };
  expectAll(cases, sizeof cases / sizeof cases[0]);
}

TEST(Xml2JsonScanners, MarkupDeclarations) {
  const Case cases[] = {
      {"<!><r>1</r>", R"({"r":{}})"},
      // A declaration ends at the first ">", whatever starts inside it.
      {"<r><!<!>><a>1</a></r>", R"({"r":{"a":"1"}})"},
      {"<r><!-- a > b --><a>1</a></r>", R"({"r":{"a":"1"}})"},
      {"<r><!x<a>1</a></r>", R"({"r":{}})"},
      {"<r><![CDATA[<a>1</a>]]><b>2</b></r>", R"({"r":{"b":"2"}})"},
      {"<!DOCTYPE r [<!ENTITY e \"x\">]><r><a>1</a></r>", R"({"]":{"r":{"a":"1"}}})"},
      {"<r><a x=\"<!y>\"/></r>", R"({"r":{"a":{"x":{}}}})"},
      {"<r><!--/>--><a>1</a></r>", R"({"r":{"a":"1"}})"},
      {"<r><a>1<!-- x -->2</a></r>", R"({"r":{"a":"12"}})"},
      {"<r><a>1</a><!-- x --></r>", R"({"r":{"a":"1"}})"},
      {"<!<!<!>", "{}"},
      // A "<!" that no ">" follows stays, with everything after it.
      {"<r><a>1</a></r><!", R"({"r":{"a":"1"},"!":{}})"},
      {"<!<!<!", R"({"!":{"!":{"!":{}}}})"},
      // "< !" is no declaration.
      {"<r>< !x><a>1</a></r>", R"({"r":{" !x":{"a":"1"}}})"},
  };
  expectAll(cases, sizeof cases / sizeof cases[0]);
}

TEST(Xml2JsonScanners, MegabyteOfAttributes) {
  // Many attributes in one start tag.
  const std::size_t count = kMegabyte / 4;
  auto json = convertWithin("<r" + repeat(" a=1", count) + "/>", kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, "{\"r\":{\"a\":\"1\"" + repeat(",\"a\":\"1\"", count - 1) + "}}");

  // One name of 1 MB, spaces included.
  const std::string name = "b" + repeat(" b", kMegabyte / 2);
  json = convertWithin("<r><a " + name + "=1/></r>", kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, "{\"r\":{\"a\":{\"" + name + "\":\"1\"}}}");

  // One name of 1 MB of spaces.
  const std::string spaces(kMegabyte, ' ');
  json = convertWithin("<r><a " + spaces + "=1/></r>", kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, "{\"r\":{\"a\":{\"" + spaces + "\":\"1\"}}}");

  // One value of 1 MB.
  const std::string value(kMegabyte, 'v');
  json = convertWithin("<r><a x=" + value + "/></r>", kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, "{\"r\":{\"a\":{\"x\":\"" + value + "\"}}}");

  // 1 MB of spaces that no "=" follows, after an attribute.
  json = convertWithin("<r><a x=1" + spaces + "></a></r>", kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, "{\"r\":{\"a\":{\"x\":\"1\"}}}");
}

TEST(Xml2JsonScanners, MegabyteOfMarkupDeclarations) {
  const std::string tail = "<a>1</a></r>";
  const std::string expected = R"({"r":{"a":"1"}})";

  auto json = convertWithin("<r>" + repeat("<!-- c -->", kMegabyte / 10) + tail, kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, expected);

  json = convertWithin("<!DOCTYPE " + std::string(kMegabyte, 'x') + "><r>" + tail, kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, expected);

  // One declaration made of half a million starts.
  json = convertWithin(repeat("<!", kMegabyte / 2) + "><r>" + tail, kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, expected);

  // Starts that no ">" ends stay: each opens an element.
  const std::size_t starts = kMegabyte / 2;
  json = convertWithin("<r>" + tail + repeat("<!", starts), kLimit);
  ASSERT_TRUE(json.has_value()) << "conversion did not return";
  EXPECT_EQ(*json, "{\"r\":{\"a\":\"1\"}," + repeat("\"!\":{", starts - 1) + "\"!\":{}" +
                       repeat("}", starts - 1) + "}");
}

}  // namespace
