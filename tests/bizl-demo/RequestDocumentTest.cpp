#include "bizl-demo/RequestDocument.h"

#include <gtest/gtest.h>

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
