// Reliable events: their type and name, and the web-link file written at stop.

#include "ostrel/channels/ReliableHCListener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChannelTestSupport.h"
#include "support/TempDir.h"

namespace {

TEST(ReliableHCListenerTest, EventTypeByFormatAndNameByTopic) {
  EXPECT_EQ("WebLinkEvent", ReliableHCListener::eventType("{\"event\":{\"type\": \"WebLinkEvent\",\"id\":1}}", 2));
  EXPECT_EQ("A", ReliableHCListener::eventType("{\"event\":{\"type\":\"A\"}}", 2));
  EXPECT_EQ("", ReliableHCListener::eventType("{\"event\":{\"Type\":\"A\"}}", 2));
  const std::string xml = "<Event><Type>WebLinkEvent</Type><Message><a>1</a></Message></Event>";
  EXPECT_EQ("WebLinkEvent", ReliableHCListener::eventType(xml, 0));
  EXPECT_EQ("WebLinkEvent", ReliableHCListener::eventType(xml, 1));
  EXPECT_EQ("", ReliableHCListener::eventType(xml, 2));
  EXPECT_EQ("", ReliableHCListener::eventType("<Event><Type>A</Type>", 0));
  EXPECT_EQ("", ReliableHCListener::eventType("<Other><Type>A</Type></Other>", 0));

  EXPECT_EQ("inAppPurchase", ReliableHCListener::eventName(std::string(kReliableTopic) + "inAppPurchase/42"));
  EXPECT_EQ("all", ReliableHCListener::eventName(std::string(kReliableTopic) + "all"));
  EXPECT_EQ("", ReliableHCListener::eventName("event:/Elsewhere/all"));
}

// The JSON event's type is the first `"type": *"([^"]+)"`, as the pattern found it.
TEST(ReliableHCListenerTest, JsonEventTypeAsThePatternFoundIt) {
  struct Case {
    std::string text, type;
  };
  const std::vector<Case> cases = {
      {"\"type\":\"A\"", "A"},
      {"\"type\":   \"B\"", "B"},
      {"\"type\": \"\" , \"type\": \"C\"", "C"},     // an empty type is no match; the next one counts
      {"xx\"type\": \"type\": \"z\"", "type"},         // the first candidate that closes
      {"\"type\": \"a\\\"b\"", "a\\"},                  // no escapes: the type ends at the next quote
      {"\"type\" : \"D\"", ""},
      {"\"Type\": \"E\"", ""},
      {"\"type\":\t\"F\"", ""},
      {"{\"type\":\n\"H\"}", ""},
      {"\"type\": \"G", ""},
      {"", ""},
      {"\"type\": \"x\xFFy\"", "x\xEF\xBF\xBDy"},            // read as UTF-8
      {"\"type\": \"\xC3\xA9\xF0\x9F\x98\x80\"", "\xC3\xA9\xF0\x9F\x98\x80"},
      {std::string("\"type\": \"a\0b\"", 13), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.type, ReliableHCListener::eventType(c.text, 2)) << c.text;
}

// A megabyte of event needs neither a deep stack nor long.
TEST(ReliableHCListenerTest, JsonEventTypeOfAMegabyte) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("", ReliableHCListener::eventType("\"type\": \"" + std::string(1 << 20, 'a'), 2));
  std::string empties;
  for (int i = 0; i < 100000; ++i) empties += "\"type\": \"\"";
  EXPECT_EQ("last", ReliableHCListener::eventType(empties + "\"type\": \"last\"", 2));
  EXPECT_EQ("T", ReliableHCListener::eventType(std::string(1 << 20, ' ') + "\"type\":" + std::string(1 << 20, ' ') +
                                                   "\"T\"",
                                               2));
  EXPECT_EQ(std::string(1 << 20, 't'), ReliableHCListener::eventType("\"type\":\"" + std::string(1 << 20, 't') + "\"", 2));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

class SavePendingTest : public ::testing::Test {
 protected:
  void SetUp() override { reliable.setOutputFormat(0); }
  static std::string webLink(const std::string& application, const std::string& locale) {
    return "<Event><Type>WebLinkEvent</Type><Message><applicationId>" + application + "</applicationId><categoryId>3"
           "</categoryId><localeCode>" + locale + "</localeCode></Message></Event>";
  }

  ReliableHCListener reliable{*MessageDispatcher::getInstance()};
  TempDir dir;
};

TEST_F(SavePendingTest, WritesThePendingWebLinksInOrder) {
  // Through the host, as the business logic publishes them; no channel is open.
  publish(std::string(kReliableTopic) + "linkB/1", webLink("B1", "de-DE"));
  publish(std::string(kReliableTopic) + "linkB/2", "<Event><Type>Other</Type></Event>");
  publish(std::string(kReliableTopic) + "linkB/3", webLink("B&amp;2", "fr-FR"));
  publish(std::string(kReliableTopic) + "linkB/4", "<Event><Type>WebLinkEvent</Type><Message><applicationId>x");
  publish(std::string(kReliableTopic) + "linkA", webLink("A1", "en-GB"));
  ASSERT_TRUE(eventually([&] { return reliable.pendingCount("linkA") == 1 && reliable.pendingCount("linkB") == 4; }));

  reliable.savePending(dir.path());
  EXPECT_EQ("<Process type=\"HyperlinkingProcesses\">\r\n"
            "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n<AppGUID>A1</AppGUID>\r\n"
            "<DisplayLocale>en-GB</DisplayLocale>\r\n<ReferalId>0</ReferalId>\r\n</HyperlinkingMessage>\r\n"
            "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n<AppGUID>B1</AppGUID>\r\n"
            "<DisplayLocale>de-DE</DisplayLocale>\r\n<ReferalId>0</ReferalId>\r\n</HyperlinkingMessage>\r\n"
            "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n<AppGUID>B&amp;2</AppGUID>\r\n"
            "<DisplayLocale>fr-FR</DisplayLocale>\r\n<ReferalId>0</ReferalId>\r\n</HyperlinkingMessage>\r\n"
            "</Process>\r\n",
            TempDir::read(dir.path() + "/bootstrap/ostrel_events.xml"));
  // The events stay pending.
  EXPECT_EQ(4u, reliable.pendingCount("linkB"));
}

TEST_F(SavePendingTest, WebLinksInJsonAreSavedLikeXmlOnes) {
  // The business logic's own JSON, and XML converted to JSON (names in lower case).
  reliable.dispatch("linkA", Event("{\"event\":{\"type\":\"WebLinkEvent\",\"message\":{\"applicationId\":\"J1\","
                                   "\"categoryId\":\"3\",\"localeCode\":\"sv-SE\"}}}",
                                   "WebLinkEvent"));
  reliable.dispatch("linkA", Event("{\"event\":{\"type\":\"WebLinkEvent\",\"message\":{\"applicationid\":\"J<2>\","
                                   "\"localecode\":\"nb-NO\"}}}",
                                   "WebLinkEvent"));
  reliable.dispatch("linkA", Event("{\"event\": broken", "WebLinkEvent"));
  reliable.savePending(dir.path());
  EXPECT_EQ("<Process type=\"HyperlinkingProcesses\">\r\n"
            "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n<AppGUID>J1</AppGUID>\r\n"
            "<DisplayLocale>sv-SE</DisplayLocale>\r\n<ReferalId>0</ReferalId>\r\n</HyperlinkingMessage>\r\n"
            "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n<AppGUID>J&lt;2&gt;</AppGUID>\r\n"
            "<DisplayLocale>nb-NO</DisplayLocale>\r\n<ReferalId>0</ReferalId>\r\n</HyperlinkingMessage>\r\n"
            "</Process>\r\n",
            TempDir::read(dir.path() + "/bootstrap/ostrel_events.xml"));
}

TEST_F(SavePendingTest, NothingIsWrittenWithoutWebLinksOrDataPath) {
  reliable.dispatch("linkA", Event("<Event><Type>Other</Type></Event>", "Other"));
  reliable.savePending(dir.path());
  EXPECT_EQ("", TempDir::read(dir.path() + "/bootstrap/ostrel_events.xml"));

  reliable.dispatch("linkA", Event(webLink("A1", "en"), "WebLinkEvent"));
  reliable.savePending("");
  EXPECT_EQ("", TempDir::read(dir.path() + "/bootstrap/ostrel_events.xml"));
}

}  // namespace
