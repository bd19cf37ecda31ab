// Reliable events: their type and name, and the web-link file written at stop.

#include "ostrel/channels/ReliableHCListener.h"

#include <gtest/gtest.h>

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
