#include "bizl-demo/RequestDocument.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "bizl-demo/RequestError.h"

using bizl::RequestDocument;

TEST(RequestDocumentTest, ReadsLeavesByNameFirstOneWins) {
  RequestDocument document = RequestDocument::parse(
      "<searchApps><criteria><type>BY_CAT</type><typeValue>2</typeValue><order></order></criteria>"
      "<start>0</start><type>second</type><note>a &amp; b &lt;c&gt;</note></searchApps>");
  EXPECT_EQ("searchApps", document.root());
  EXPECT_EQ("BY_CAT", document.value("type"));
  EXPECT_EQ("2", document.value("typeValue"));
  EXPECT_TRUE(document.has("order"));
  EXPECT_EQ("", document.value("order"));
  EXPECT_FALSE(document.has("criteria"));  // not a leaf
  EXPECT_FALSE(document.has("missing"));
  EXPECT_EQ("a & b <c>", document.value("note"));
}

TEST(RequestDocumentTest, ListItemsCountAsLeavesUnlessAnElementHasTheName) {
  RequestDocument document = RequestDocument::parse(
      "<searchApps><start>0</start><optionalParameters>"
      "<parameter><key>sessionId</key><value>s1</value></parameter>"
      "<parameter><key>start</key><value>9</value></parameter>"
      "<parameter><key></key><value>lost</value></parameter>"
      "<parameter><key>empty</key></parameter>"
      "</optionalParameters></searchApps>");
  EXPECT_EQ("s1", document.value("sessionId"));
  EXPECT_EQ("0", document.value("start"));
  EXPECT_TRUE(document.has("empty"));
  EXPECT_FALSE(document.has("key"));
  EXPECT_FALSE(document.has("value"));
  EXPECT_EQ(3u, document.values().size());
}

TEST(RequestDocumentTest, RootWithTextIsALeafToo) {
  RequestDocument document = RequestDocument::parse("<getDeviceProfileXml>abc</getDeviceProfileXml>");
  EXPECT_EQ("abc", document.value("getDeviceProfileXml"));
}

TEST(RequestDocumentTest, RefusesWhatIsNotWellFormed) {
  for (const char* text : {"", "   ", "plain text", "<a>", "<a></b>", "<a></a><b></b>", "<a x='1></a>", "<a>&bogus;</a>"}) {
    try {
      RequestDocument::parse(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const bizl::RequestError& error) {
      EXPECT_EQ(bizl::status::kMalformedRequest, error.code()) << text;
      EXPECT_EQ(0u, std::string(error.what()).find("Malformed request document: ")) << error.what();
    }
  }
}

namespace {

bool isRefused(const std::string& text) {
  try {
    RequestDocument::parse(text);
    return false;
  } catch (const bizl::RequestError& error) {
    return error.code() == bizl::status::kMalformedRequest;
  }
}

}  // namespace

// Read element by element as before: names without their namespace prefix,
// every text as it stands (white space and CDATA too), line ends as "\n".
TEST(RequestDocumentTest, ReadsNamespacesCdataReferencesAndUtf8AsBefore) {
  RequestDocument names = RequestDocument::parse(
      "<p:searchApps xmlns:p=\"urn:x\"><p:start>0</p:start><q:type xmlns:q=\"urn:q\">BY_CAT</q:type>"
      "<note xmlns=\"urn:d\">n</note></p:searchApps>");
  EXPECT_EQ("searchApps", names.root());
  EXPECT_EQ((std::map<std::string, std::string>{{"note", "n"}, {"start", "0"}, {"type", "BY_CAT"}}), names.values());

  RequestDocument texts = RequestDocument::parse(
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?><R><A>a<![CDATA[<b>&amp;]]>c</A><B><![CDATA[ ]]></B>"
      "<C>&#65;&#x42;&#x20AC;&#233;&lt;&gt;&amp;&quot;&apos;</C><D>a&#13;b</D><E>a\r\nb\rc</E>"
      "<F>\n </F><G>\xC2\xA0</G><H>x<!--c-->y<?p q?>z</H><\xC3\x84>\xC3\xBC\xF0\x9F\x98\x80</\xC3\x84></R>");
  EXPECT_EQ("a<b>&amp;c", texts.value("A"));
  EXPECT_EQ(" ", texts.value("B"));
  EXPECT_EQ("AB\xE2\x82\xAC\xC3\xA9<>&\"'", texts.value("C"));
  EXPECT_EQ("a\rb", texts.value("D"));
  EXPECT_EQ("a\nb\nc", texts.value("E"));
  EXPECT_EQ("\n ", texts.value("F"));
  EXPECT_EQ("\xC2\xA0", texts.value("G"));
  EXPECT_EQ("xyz", texts.value("H"));
  EXPECT_EQ("\xC3\xBC\xF0\x9F\x98\x80", texts.value("\xC3\x84"));

  // A declared ISO-8859-1 text is read as such.
  EXPECT_EQ("\xC3\xA9", RequestDocument::parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R><A>\xE9</A></R>")
                            .value("A"));

  for (const char* text : {"<p:searchApps><p:start>0</p:start></p:searchApps>", "<R p:a=\"1\"><A>1</A></R>",
                           "<R><A>a\x01" "b</A></R>", "<R><A>a\xFF</A></R>", "<R a=\"1\" a=\"2\"><A>1</A></R>",
                           "<?xml version=\"1.1\"?><R><A>1</A></R>", "<a:b:c xmlns:a=\"u\"/>", "<p:R xmlns:p=\"\"/>"})
    EXPECT_TRUE(isRefused(text)) << text;
}

// No declared entity is expanded and nothing outside the document is read; a
// megabyte of request neither overflows the stack nor takes long.
TEST(RequestDocumentTest, NeitherExpandsNorLoadsEntitiesAndReadsAMegabyte) {
  std::string laughs = "<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 2; i <= 9; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + (i == 2 ? std::string() : std::to_string(i - 1)) + ";";
    laughs += "\">";
  }
  laughs += "]><lolz><A>&lol9;</A></lolz>";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(isRefused(laughs));
  EXPECT_TRUE(isRefused("<!DOCTYPE R [<!ENTITY e \"hi\">]><R><A>&e;</A></R>"));
  const std::string external = "<!DOCTYPE R [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]><R><A>a&xxe;b</A></R>";
  EXPECT_EQ("ab", RequestDocument::parse(external).value("A"));
  EXPECT_TRUE(isRefused("<!DOCTYPE R [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]><R><A x=\"&xxe;\">1</A></R>"));
  EXPECT_EQ("1", RequestDocument::parse("<!DOCTYPE R [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><R><A>1</A></R>")
                     .value("A"));
  EXPECT_EQ("1", RequestDocument::parse("<!DOCTYPE R SYSTEM \"http://127.0.0.1:9/none.dtd\"><R><A>1</A></R>").value("A"));

  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  deep += "x";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  EXPECT_EQ("x", RequestDocument::parse(deep).value("a"));
  const std::string text(1 << 20, 'y');
  EXPECT_EQ(text, RequestDocument::parse("<R><A>" + text + "</A></R>").value("A"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
