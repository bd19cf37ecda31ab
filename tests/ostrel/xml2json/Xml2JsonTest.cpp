#include "ostrel/xml2json/Xml2Json.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "ostrel/xml2json/XmlEscape.h"

namespace {

std::string convert(const std::string& xml) { return Xml2Json().convert(xml); }

std::string repeat(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Converts on a thread of its own and gives up waiting after `limit`: a conversion
// that hangs fails the test instead of blocking it. The thread owns its input.
std::optional<std::string> convertWithin(std::string xml, std::chrono::seconds limit) {
  auto done = std::make_shared<std::promise<std::string>>();
  std::future<std::string> result = done->get_future();
  std::thread([done, xml = std::move(xml)]() mutable {
    done->set_value(Xml2Json().convert(std::move(xml)));
  }).detach();
  if (result.wait_for(limit) != std::future_status::ready) return std::nullopt;
  return result.get();
}

// Generous even for the sanitizer build; a linear conversion of 1 MB takes well
// under a second.
constexpr std::chrono::seconds kLimit{60};

TEST(Xml2Json, WorkedExamples) {
  EXPECT_EQ(convert("<Response><Status>0</Status><StatusMessage>Success</StatusMessage></Response>"),
            R"({"response":{"status":"0","statusmessage":"Success"}})");
  EXPECT_EQ(convert("<Apps><App><Id>1</Id></App><App><Id>2</Id></App></Apps>"),
            R"({"apps":{"app":[{"id":"1"},{"id":"2"}]}})");
  EXPECT_EQ(convert("<Result><Name/><Count></Count><Note>a &amp; b</Note></Result>"),
            R"({"result":{"name":{},"count":{},"note":"a & b"}})");
  EXPECT_EQ(convert(R"(<App><Item id="7"/><Downloads xsi:nil="true"/></App>)"),
            R"({"app":{"downloads":"0","item":{"id":"7"}}})");
  EXPECT_EQ(convert(R"(<Msg><Text>say "hi"</Text></Msg>)"), R"({"msg":{"text":"say \"hi\""}})");
  EXPECT_EQ(convert("<http><error>Unknown or expired session</error></http>"),
            R"({"http":{"error":"Unknown or expired session"}})");
}

TEST(Xml2Json, EmptyInputAndEmptyElements) {
  EXPECT_EQ(convert(""), "{}");
  EXPECT_EQ(convert("<Response/>"), R"({"response":{}})");
  EXPECT_EQ(convert("<Response></Response>"), R"({"response":{}})");
  EXPECT_EQ(convert("<R><A  \t/><B\n/></R>"), R"({"r":{"a":{},"b":{}}})");
  // Text that is exactly {} is written like an empty element.
  EXPECT_EQ(convert("<R><A>{}</A><B>{ }</B></R>"), R"({"r":{"a":{},"b":"{ }"}})");
  // A nil download count only when written exactly so.
  EXPECT_EQ(convert(R"(<R><Downloads xsi:nil="true" /></R>)"), R"({"r":{"downloads":"0"}})");
  EXPECT_EQ(convert(R"(<R><downloads xsi:nil="true"/></R>)"),
            R"({"r":{"downloads":{"xsi:nil":"true"}}})");
}

TEST(Xml2Json, NamesAndOrder) {
  // Names are lower-cased, attribute names too; members come before child nodes.
  EXPECT_EQ(convert(R"(<Root><Child ID="1" Kind="x"/><Last>2</Last></Root>)"),
            R"({"root":{"last":"2","child":{"id":"1","kind":"x"}}})");
  EXPECT_EQ(convert(R"(<A><B xsi:nil="false"/></A>)"), R"({"a":{"b":{"xsi:nil":"false"}}})");
  EXPECT_EQ(convert("<R><C><X>1</X></C><M>2</M><ÄB>3</ÄB></R>"),
            R"({"r":{"m":"2","Äb":"3","c":{"x":"1"}}})");
  // Several top-level elements are several members; a root keeps no text.
  EXPECT_EQ(convert("<A>1</A><B><C>2</C></B>"), R"({"a":{},"b":{"c":"2"}})");
  // Attributes and text: the text follows the attribute child and is dropped.
  EXPECT_EQ(convert(R"(<R><A id="1">text</A></R>)"), R"({"r":{"a":{"id":"1"}}})");
  // Text after a child element and text between elements are dropped.
  EXPECT_EQ(convert("<R><A><B>1</B>y</A>z<C>2</C></R>"), R"({"r":{"c":"2","a":{"b":"1"}}})");
  // Text before a child makes the element a leaf: its children find no parent.
  EXPECT_EQ(convert("<R><A>x<B>1</B></A></R>"), "");
}

TEST(Xml2Json, Arrays) {
  // Only the parent's first child starts an array.
  EXPECT_EQ(convert("<R><X><I>0</I></X><A><I>1</I></A><A><I>2</I></A></R>"),
            R"({"r":{"x":{"i":"0"},"a":{"i":"1"},"a":{"i":"2"}}})");
  // An array parent writes all its children into the array and drops its members.
  EXPECT_EQ(convert("<R><M>1</M><A><I>1</I></A><A><I>2</I></A><B><I>3</I></B></R>"),
            R"({"r":{"a":[{"i":"1"},{"i":"2"},"b":{"i":"3"}]}})");
  // An array item that is itself an array keeps the container form with its name.
  EXPECT_EQ(convert("<R><A><B><I>1</I></B><B><I>2</I></B></A><A><B><I>3</I></B></A></R>"),
            R"({"r":{"a":["a":{"b":[{"i":"1"},{"i":"2"}]},{"b":{"i":"3"}}]}})");
  // Leaf elements never form arrays: they are repeated members.
  EXPECT_EQ(convert("<R><V>1</V><V>2</V></R>"), R"({"r":{"v":"1","v":"2"}})");
}

TEST(Xml2Json, EscapesAndEntities) {
  EXPECT_EQ(convert("<R><A>a\\b\tc\nd\re\bf\fg</A></R>"),
            R"({"r":{"a":"a\\b\tc\nd\re\bf\fg"}})");
  EXPECT_EQ(convert("<R><A>&lt;b&gt; &quot;q&quot; &apos;s&apos;</A></R>"),
            R"({"r":{"a":"<b> \"q\" 's'"}})");
  // Each reference is decoded once; numeric references stay.
  EXPECT_EQ(convert("<R><A>&amp;lt;</A><B>&#65;&amp</B></R>"), R"({"r":{"a":"&lt;","b":"&#65;&amp"}})");
  // Bytes above 0x7F pass unchanged.
  EXPECT_EQ(convert("<R><A>caf\xC3\xA9 \xE2\x82\xAC</A></R>"), "{\"r\":{\"a\":\"caf\xC3\xA9 \xE2\x82\xAC\"}}");
  // Spaces, "=" and quotes of element text survive the attribute rewrite.
  EXPECT_EQ(convert("<R><A>x = 'y' \"z\"</A></R>"), R"({"r":{"a":"x = 'y' \"z\""}})");
  // A guard word in the text comes out as the character it stands for.
  EXPECT_EQ(convert("<R><A>x_jsonconvtemp1_y_jsonconvtemp0_z</A></R>"), R"({"r":{"a":"x=y z"}})");
}

TEST(Xml2Json, MarkupThatIsRemovedOrKept) {
  EXPECT_EQ(convert("<!DOCTYPE r><R><!-- a note --><A>1</A><![CDATA[x]]><B>2</B></R>"),
            R"({"r":{"a":"1","b":"2"}})");
  // A comment holding ">" is cut there: the rest is text between elements.
  EXPECT_EQ(convert("<R><!-- a > b --><A>1</A></R>"), R"({"r":{"a":"1"}})");
  // An XML declaration stays and becomes the outer element.
  EXPECT_EQ(convert(R"(<?xml version="1.0"?><R><A>1</A></R>)"),
            R"({"?xml":{"version":"1.0\"?","r":{"a":"1"}}})");
  // Text with ">" is cut at it.
  EXPECT_EQ(convert("<R><A>x>y</A></R>"), R"({"r":{"a":"x"}})");
}

TEST(Xml2Json, DocumentsWithoutATreeGiveTheEmptyString) {
  // Indentation is text: the element with it becomes a member and its children
  // find no parent.
  EXPECT_EQ(convert("<R>\n  <A>\n    <B>1</B>\n  </A>\n</R>"), "");
  // A "." in a name splits the path.
  EXPECT_EQ(convert("<R><A.B>1</A.B></R>"), "");
  EXPECT_EQ(convert("<R><A><B.C><D>1</D></B.C></A></R>"), "");
}

TEST(Xml2Json, CloseTagsEndTheirElementsOnly) {
  // The close run of the last token names each open element.
  EXPECT_EQ(convert("<r><a><b><c><d><e>1</e></d></c></b></a></r><s><t>2</t></s>"),
            R"({"r":{"a":{"b":{"c":{"d":{"e":"1"}}}}},"s":{"t":"2"}})");
  // "</abc>" does not close "ab": the later element lands inside it.
  EXPECT_EQ(convert("<r><ab><c><d><e><f>1</f></e></d></c></abc></r><g>2</g>"),
            R"({"r":{"ab":{"g":"2","c":{"d":{"e":{"f":"1"}}}}}})");
  // A close of an element that is not on top stops the run.
  EXPECT_EQ(convert("<r><x><y><z><w><v>1</v></w></z></q></r><s>2</s>"),
            R"({"r":{"x":{"y":{"s":"2","z":{"w":{"v":"1"}}}}}})");
  // Each close marker pops an element whose close tag is anywhere in the run.
  EXPECT_EQ(convert("<r><a><b>1</b></c></a></r><s>2</s>"), R"({"r":{"a":{"b":"1"}},"s":{}})");
}

TEST(Xml2Json, MalformedInputGivesJsonOrNothing) {
  const char* inputs[] = {
      "<",        ">",          "<<>>",        "</a>",         "<a",           "a<b",
      "<a><b",    "<r><a>x<b</a></r>", "<a></b></c>",  "/>/>/>",       "<a/>/><b/>", "<></>",
      "<r><>1</></r>", "<a b=c d=e/>", "<a =/>",  "<a b=\"1 2\"/>", "\xFE<a>\xFE", "<r><a>\xFE" "a></r>",
      "<r><a b='1'/></r>", "text only", "<a>x</a>trailing", "<r><a></a><a>",
  };
  for (const char* input : inputs) {
    const std::string json = convert(input);
    if (!json.empty()) {
      EXPECT_EQ(json.front(), '{') << input;
      EXPECT_EQ(json.back(), '}') << input;
    }
  }
  EXPECT_EQ(convert(std::string("<r><a>x\0y</a></r>", 17)), std::string("{\"r\":{\"a\":\"x\0y\"}}", 17));
}

TEST(Xml2Json, DeepNestingIsWrittenInFull) {
  const std::size_t depth = 100000;
  const auto deep = convertWithin(repeat("<a>", depth) + repeat("</a>", depth), kLimit);
  ASSERT_TRUE(deep.has_value()) << "conversion did not return";
  EXPECT_EQ(*deep, "{" + repeat("\"a\":{", depth - 1) + "\"a\":{}" + repeat("}", depth - 1) + "}");

  // 1 MB of start tags that never close: one chain of elements.
  const std::size_t tags = (1u << 20) / 3;
  const auto open = convertWithin(repeat("<a>", tags), kLimit);
  ASSERT_TRUE(open.has_value()) << "conversion did not return";
  EXPECT_EQ(*open, "{" + repeat("\"a\":{", tags) + repeat("}", tags) + "}");
}

// Large enough that work growing with the square of the size would take minutes.
constexpr std::size_t kHostileSize = 1u << 18;

void expectReturns(const std::vector<std::string>& inputs) {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto json = convertWithin(inputs[i], kLimit);
    ASSERT_TRUE(json.has_value()) << "input " << i << " did not return";
    if (!json->empty()) {
      EXPECT_EQ(json->front(), '{') << "input " << i;
      EXPECT_EQ(json->back(), '}') << "input " << i;
    }
  }
}

TEST(Xml2Json, HostileRunsReturnInBoundedTime) {
  const std::size_t size = kHostileSize;
  expectReturns({
      std::string(size, ' '),
      "<a" + std::string(size, ' ') + ">",
      "<a" + std::string(size, ' ') + "x",
      repeat("<!", size / 2),
      repeat("<! ", size / 3) + ">",
      repeat("/>", size / 2),
      repeat(" />", size / 3),
      repeat(">", size),
      repeat("<", size),
      repeat("</", size / 2),
      repeat(" a", size / 2) + "=",
      "<r" + repeat(" a=1", size / 4) + "/>",
      repeat("=", size),
      repeat("_jsonconvtemp0_", size / 15),
      repeat("&amp;", size / 5),
      std::string(size, '\xFE'),
  });
}

TEST(Xml2Json, HostileStructuresReturnInBoundedTime) {
  const std::size_t size = kHostileSize;
  std::vector<std::string> inputs = {
      repeat("</a>", size / 4),
      repeat("<a>x", size / 4),
      repeat("<a><b></a></b>", size / 14),
      "<" + std::string(size / 2, '\xFE') + ">" + std::string(size / 2, '\xFE') + ">",
      "<a>" + repeat("\xFE\xFE\xFE" "a", size / 4) + ">",
  };
  // Many distinct open elements closed by one long run, in both orders.
  std::string names;
  std::string closes;
  for (int i = 0; i < 20000; ++i) {
    names += "<e" + std::to_string(i) + ">";
    closes = "</e" + std::to_string(i) + ">" + closes;
  }
  inputs.push_back(names + "<x>1" + std::string(closes.rbegin(), closes.rend()));
  inputs.push_back(names + "<x>1" + closes);

  std::mt19937 random(20240607);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  inputs.push_back(bytes);
  const char alphabet[] = "<>/ =\"'!ab\xFE&;{}.\n";
  for (char& c : bytes) c = alphabet[random() % (sizeof(alphabet) - 1)];
  inputs.push_back(bytes);
  expectReturns(inputs);
}

TEST(Xml2Json, ConcurrentCallsAgree) {
  const std::string xml =
      R"(<Apps><App id="1" kind="game"><Name>A &amp; B</Name></App><App id="2"/></Apps>)";
  const std::string expected = convert(xml);
  ASSERT_EQ(expected, R"({"apps":{"app":[{"id":"1","kind":"game","name":"A & B"},{"id":"2"}]}})");
  Xml2Json shared;
  std::vector<std::future<bool>> runs;
  for (int t = 0; t < 4; ++t) {
    runs.push_back(std::async(std::launch::async, [&] {
      for (int i = 0; i < 500; ++i) {
        if (shared.convert(xml) != expected) return false;
      }
      return true;
    }));
  }
  for (auto& run : runs) EXPECT_TRUE(run.get());
}

TEST(XmlEscape, EntitiesAndControlCharactersXmlCannotCarry) {
  EXPECT_EQ(xmlEscape(std::string("<a\x07&'\"\x00\t>", 9)), "&lt;a\xEF\xBF\xBD&amp;&apos;&quot;\xEF\xBF\xBD\t&gt;");
}

}  // namespace
