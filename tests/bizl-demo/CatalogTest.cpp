// How the demo's records are read from its data files: each field as the XML
// text it has always been, whatever the file holds.

#include "bizl-demo/Catalog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "bizl-demo/RequestError.h"

using bizl::Catalog;
using bizl::Record;

namespace {

bool isRefused(const std::string& text) {
  try {
    Catalog::parseRecord(text, "apps/x.xml");
    return false;
  } catch (const bizl::RequestError& error) {
    return error.code() == bizl::status::kBadData && error.critical();
  }
}

}  // namespace

TEST(CatalogTest, FieldsKeepTheirMarkupInTheFormTheyAlwaysHad) {
  Record record = Catalog::parseRecord(
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- a comment -->\n<App>\n"
      "  <Lines>one\r\ntwo</Lines>\n"
      "  <Mixed>a <b>bold</b> &#38; <![CDATA[<raw>]]> ]]&gt;</Mixed>\n"
      "  <Comments><!--a--><!--b-->x<!--c-->y<!--d--></Comments>\n"
      "  <Between>a<!--e-->-<![CDATA[c]]></Between>\n"
      "  <Instructions><?p?><?q  r s ?>x<?t u?></Instructions>\n"
      "  <Attributes><B x=\"a&quot;b\tc&#10;d&lt;&amp;&gt;'&#9;&#13;\xC3\xBC\"/></Attributes>\n"
      "  <Split><![CDATA[a]]]]><![CDATA[>b]]></Split>\n"
      "  <Nested>\n    <B> <C>x</C> </B>\n  </Nested>\n"
      "  <Blank>&#13;</Blank>\n"
      "  <Names><p:B xmlns:p=\"urn:p\" p:x=\"1\">2</p:B></Names>\n"
      "  <Utf8>\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80 &lt; &amp; &gt; \" '</Utf8>\n"
      "</App>\n",
      "apps/x.xml");
  EXPECT_EQ("one&#xd;\ntwo", record["Lines"]);
  EXPECT_EQ("one\r\ntwo", bizl::plainText(record, "Lines"));
  EXPECT_EQ("a <b>bold</b> &amp; <![CDATA[<raw>]]> ]]&gt;", record["Mixed"]);
  EXPECT_EQ("a bold & <raw> ]]>", bizl::plainText(record, "Mixed"));
  EXPECT_EQ("<!--a-->\n<!--b-->x<!--c-->y<!--d-->\n", record["Comments"]);
  EXPECT_EQ("xy", bizl::plainText(record, "Comments"));
  EXPECT_EQ("a<!--e-->-<![CDATA[c]]>", record["Between"]);
  EXPECT_EQ("<?p ?>\n<?q r s ?>\nx<?t u?>\n", record["Instructions"]);
  EXPECT_EQ("<B x=\"a&quot;b&#x9;c&#xa;d&lt;&amp;>'&#x9;&#xd;\xC3\xBC\"/>", record["Attributes"]);
  EXPECT_EQ("<![CDATA[a]]]]><![CDATA[>b]]>", record["Split"]);
  EXPECT_EQ("a]]>b", bizl::plainText(record, "Split"));
  EXPECT_EQ("<B><C>x</C></B>", record["Nested"]);
  EXPECT_EQ("", record["Blank"]);
  EXPECT_EQ("<p:B xmlns:p=\"urn:p\" p:x=\"1\">2</p:B>", record["Names"]);
  EXPECT_EQ("\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80 &lt; &amp; > \" '", record["Utf8"]);
  EXPECT_EQ("\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80 < & > \" '", bizl::plainText(record, "Utf8"));

  // A declared ISO-8859-1 file is read as such; an invalid UTF-8 byte reads as U+FFFD.
  EXPECT_EQ("\xC3\xA9",
            Catalog::parseRecord("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><App><A>\xE9</A></App>", "t")["A"]);
  EXPECT_EQ("a\xEF\xBF\xBD" "b", Catalog::parseRecord("<App><A>a\xFF" "b</A></App>", "t")["A"]);
  for (const char* text : {"<App><A>a & b</A></App>", "<App><A>1</App>", "<App/><B/>", "<App><A>a]]>b</A></App>",
                           "<App><!-- a -- b --></App>", "<App><A>\xEF\xBF\xBE</A></App>"})
    EXPECT_TRUE(isRefused(text)) << text;
}

// No declared entity is expanded and nothing outside the file is read, at once
// and without memory to speak of; a megabyte file neither overflows the stack
// nor takes long.
TEST(CatalogTest, NeitherExpandsNorLoadsEntitiesAndReadsAMegabyte) {
  std::string laughs = "<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 2; i <= 9; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + (i == 2 ? std::string() : std::to_string(i - 1)) + ";";
    laughs += "\">";
  }
  laughs += "]><App><A>&lol9;</A></App>";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(isRefused(laughs));
  const std::string external = "<!DOCTYPE App [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]><App><A>a&xxe;b</A></App>";
  EXPECT_EQ("ab", Catalog::parseRecord(external, "t")["A"]);
  EXPECT_EQ("1", Catalog::parseRecord("<!DOCTYPE App SYSTEM \"http://127.0.0.1:9/x.dtd\"><App><A>1</A></App>", "t")["A"]);
  // A field's text that would refer to an entity reads as nothing there too.
  Record record{{"F", "a&xxe;b"}};
  EXPECT_EQ("ab", bizl::plainText(record, "F"));

  std::string deep = "<App><A>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  deep += "</A></App>";
  std::string nested;
  for (int i = 1; i < 100000; ++i) nested += "<a>";
  nested += "<a/>";
  for (int i = 1; i < 100000; ++i) nested += "</a>";
  EXPECT_EQ(nested, Catalog::parseRecord(deep, "t")["A"]);
  const std::string text(1 << 20, 'y');
  EXPECT_EQ(text, Catalog::parseRecordList("<Users><User><A>" + text + "</A></User></Users>", "t").at(0).at("A"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
