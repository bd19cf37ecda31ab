// The demo business logic as Ostrel meets it: a component on the host's real
// dispatcher, asked with HCI::HandlerHelper::sendAndWait.

#include "bizl-demo/BizlDemoComponent.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <filesystem>

#include "BizlTestSupport.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tessaro/PluginManager.h"
#include "tessaro/XMLTool.h"

using namespace bizltest;

namespace {

// A started component with the bundled data and fast events, asked for `format`.
class StartedComponent {
 public:
  explicit StartedComponent(int format = 0, const std::string& dataRoot = "", const std::string& interval = "1") {
    configure(dataRoot, interval);
    component.start();
    if (format != 0) setOutputFormat(format);
  }
  ~StartedComponent() { component.stop(); }

  bizl::BizlDemoComponent component;
};

std::string xmlValue(const std::string& document, const std::string& path) {
  try {
    return bootStrapCreate(document, 0)->getValue(path);
  } catch (const std::exception& error) {
    return std::string("<unreadable: ") + error.what() + ">";
  }
}

size_t threadCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
}

const std::string kGoodLogin = "<login><Mail>demo@kivra.test</Mail><Password>demo123</Password></login>";

}  // namespace

TEST(BizlDemoComponentTest, AnswersSampleOperationsInXml) {
  StartedComponent demo;
  Answer banners = ask("1.0/Catalog/getBanners", "<getBanners></getBanners>");
  ASSERT_EQ("SUCCESS", banners.type) << banners.text;
  EXPECT_EQ("0", xmlValue(banners.text, "Response\\Status\\statusCode"));
  EXPECT_EQ("app-1005", xmlValue(banners.text, "Response\\Banners\\Banner\\ApplicationId"));

  Answer details = ask("1.0/Application/getAppDetails",
                       "<getAppDetails><AplicationGUID>app-1003</AplicationGUID><sendAnalytics>1</sendAnalytics>"
                       "<localeCode>en-US</localeCode></getAppDetails>");
  ASSERT_EQ("SUCCESS", details.type) << details.text;
  EXPECT_EQ("Pixel Quest", xmlValue(details.text, "Response\\Application\\Name"));
  EXPECT_EQ("pq-coins-500", xmlValue(details.text, "Response\\Application\\InAppItems\\Item[1]\\ItemId"));

  Answer games = ask("1.0/Catalog/searchApps",
                     "<searchApps><criteria><type>BY_CAT</type><typeValue>2</typeValue><order></order><filter></filter>"
                     "<filterValue></filterValue></criteria><start></start><count></count><optionalParameters>"
                     "</optionalParameters><sendAnalytics>1</sendAnalytics></searchApps>");
  ASSERT_EQ("SUCCESS", games.type) << games.text;
  EXPECT_EQ("2", xmlValue(games.text, "Response\\TotalCount"));
  EXPECT_EQ("app-1003", xmlValue(games.text, "Response\\Applications\\Application[0]\\Id"));
  EXPECT_EQ("app-1004", xmlValue(games.text, "Response\\Applications\\Application[1]\\Id"));
}

TEST(BizlDemoComponentTest, SetOutputFormatSwitchesRepliesAndEventsToJson) {
  StartedComponent demo;
  Answer xml = ask("1.0/Catalog/getBanners", "<getBanners></getBanners>");
  ASSERT_EQ('<', xml.text.front());

  Answer switched = setOutputFormat(2);
  ASSERT_EQ("SUCCESS", switched.type);
  EXPECT_NE(std::string::npos,
            switched.text.find("\"status\":{\"version\":\"1.0\",\"statuscode\":\"0\",\"statusmessage\":\"Success\"}"))
      << switched.text;

  Answer reviews = ask("1.0/Application/getAppReviews",
                       "<getAppReviews><AplicationGUID>app-1002</AplicationGUID><localeCode></localeCode></getAppReviews>");
  ASSERT_EQ("SUCCESS", reviews.type);
  // The shape the UI reads after Ostrel converts XML: lower-case names, arrays for repeated children.
  EXPECT_NE(std::string::npos, reviews.text.find("\"reviews\":{\"review\":[{\"author\":\"Priya\",\"rating\":\"5\""))
      << reviews.text;
  EXPECT_EQ(0u, reviews.text.find("{\"response\":{\"applicationid\":\"app-1002\",")) << reviews.text;

  // Error documents stay XML with the root "Status": Ostrel reads them as XML in this format too.
  Answer wrong = ask("1.0/Profile/login", "<login><Mail>demo@kivra.test</Mail><Password>nope</Password></login>");
  EXPECT_EQ("ERROR", wrong.type);
  EXPECT_EQ("5", xmlValue(wrong.text, "Status\\statusCode"));

  EventRecorder recorder(kAllEvents);
  ASSERT_EQ("SUCCESS", ask("1.0/Process/purchaseApplication",
                           "<purchaseApplication><correlation_id>c1</correlation_id><application_id>app-1006</application_id>"
                           "</purchaseApplication>").type);
  std::vector<ReceivedEvent> events = recorder.waitFor(5);
  ASSERT_EQ(5u, events.size());
  EXPECT_EQ(0u, events.back().text.find("{\"event\":{\"type\":\"DownloadComplete\",\"message\":{")) << events.back().text;

  ASSERT_EQ("SUCCESS", setOutputFormat(0).type);
  EXPECT_EQ('<', ask("1.0/Catalog/getBanners", "<getBanners></getBanners>").text.front());
}

TEST(BizlDemoComponentTest, WrongLoginIsAnErrorWithAStatusDocument) {
  StartedComponent demo;
  Answer wrong = ask("1.0/Profile/login", "<login><Mail>demo@kivra.test</Mail><Password>guess</Password></login>");
  EXPECT_EQ("ERROR", wrong.type);
  EXPECT_EQ("1.0", xmlValue(wrong.text, "Status\\version"));
  EXPECT_EQ("5", xmlValue(wrong.text, "Status\\statusCode"));
  EXPECT_EQ("Invalid e-mail address or password", xmlValue(wrong.text, "Status\\statusMessage"));

  Answer missing = ask("1.0/Profile/login", "<login><Mail></Mail><Password>x</Password></login>");
  EXPECT_EQ("ERROR", missing.type);
  EXPECT_EQ("Missing mandatory parameter: Mail", xmlValue(missing.text, "Status\\statusMessage"));

  Answer right = ask("1.0/Profile/login", kGoodLogin);
  ASSERT_EQ("SUCCESS", right.type) << right.text;
  EXPECT_EQ("u-1001", xmlValue(right.text, "Response\\UserId"));
  EXPECT_EQ(std::string::npos, right.text.find("demo123")) << "the reply must not carry the password";
}

// Ostrel's UX update reads these two replies: as a "Response" document in XML, by
// the first digits (device type) or the first dotted triple (version) in JSON.
TEST(BizlDemoComponentTest, AgentQueriesAnswerInBothFormats) {
  StartedComponent demo;
  Answer device = ask("1.0/Agent/getDeviceType", "<getDeviceType></getDeviceType>");
  Answer version = ask("1.0/Agent/getVersion", "<getVersion></getVersion>");
  ASSERT_EQ("SUCCESS", device.type);
  ASSERT_EQ("SUCCESS", version.type);
  EXPECT_EQ("1", xmlValue(device.text, "Response\\DeviceType"));
  EXPECT_EQ("2.1.0", xmlValue(version.text, "Response\\Version"));

  ASSERT_EQ("SUCCESS", setOutputFormat(2).type);
  device = ask("1.0/Agent/getDeviceType", "<getDeviceType></getDeviceType>");
  version = ask("1.0/Agent/getVersion", "<getVersion></getVersion>");
  boost::smatch match;
  ASSERT_TRUE(boost::regex_search(device.text, match, boost::regex("(\\d+)"))) << device.text;
  EXPECT_EQ("1", match[1]);
  ASSERT_TRUE(boost::regex_search(version.text, match, boost::regex("(\\d+\\.\\d+\\.\\d+)"))) << version.text;
  EXPECT_EQ("2.1.0", match[1]);
}

TEST(BizlDemoComponentTest, PurchasePublishesProgressInOrderEndingWithCompletion) {
  StartedComponent demo;
  EventRecorder recorder(kAllEvents);
  Answer purchase = ask("1.0/Process/purchaseApplication",
                        "<purchaseApplication><correlation_id>c-77</correlation_id><application_id>app-1005</application_id>"
                        "<currency>USD</currency><price>7.99</price><transactionid>t1</transactionid>"
                        "<localeCode>en-US</localeCode></purchaseApplication>");
  ASSERT_EQ("SUCCESS", purchase.type) << purchase.text;

  std::vector<ReceivedEvent> events = recorder.waitFor(5);
  ASSERT_EQ(5u, events.size());
  const std::string topic = "event:/KivraServices/KivraBusinessLogic/v1_0/purchaseApplication/app-1005";
  const char* progress[] = {"20", "40", "60", "80", "100"};
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(topic, events[i].topic);
    EXPECT_EQ(progress[i], xmlValue(events[i].text, "Event\\Message\\progress")) << events[i].text;
    EXPECT_EQ("c-77", xmlValue(events[i].text, "Event\\Message\\correlationId"));
  }
  EXPECT_EQ("DownloadProgress", xmlValue(events[3].text, "Event\\Type"));
  EXPECT_EQ("DownloadComplete", xmlValue(events[4].text, "Event\\Type"));
  EXPECT_EQ("INSTALLED", xmlValue(events[4].text, "Event\\Message\\state"));

  // A purchase of an application that does not exist publishes nothing.
  Answer unknown = ask("1.0/Process/purchaseApplication",
                       "<purchaseApplication><application_id>app-9999</application_id></purchaseApplication>");
  EXPECT_EQ("ERROR", unknown.type);
  EXPECT_EQ("Unknown application id: app-9999", xmlValue(unknown.text, "Status\\statusMessage"));
}

TEST(BizlDemoComponentTest, ReliableTopicsGetInAppPurchaseAndWebLinkEvents) {
  StartedComponent demo;
  EventRecorder reliable(kReliableEvents);
  EventRecorder plain(kAllEvents);
  ASSERT_EQ("SUCCESS", ask("1.0/Process/inAppPurchase",
                           "<inAppPurchase><correlation_id>c-9</correlation_id><applicationid>app-1004</applicationid>"
                           "<applicationitemid>wh-hints-20</applicationitemid><localecode>en-US</localecode>"
                           "<price>1.49</price><currency>USD</currency></inAppPurchase>").type);
  ASSERT_EQ("SUCCESS", ask("1.0/Environment/quickWebLink",
                           "<quickWebLink><appGUID>app-1007</appGUID><categoryId></categoryId><referralId>r1</referralId>"
                           "<localeCode>de-DE</localeCode></quickWebLink>").type);

  std::vector<ReceivedEvent> events = reliable.waitFor(2);
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ("event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/inAppPurchase/wh-hints-20", events[0].topic);
  EXPECT_EQ("InAppPurchase", xmlValue(events[0].text, "Event\\Type"));
  EXPECT_EQ("wh-hints-20", xmlValue(events[0].text, "Event\\Message\\applicationItemId"));

  // The web link goes to the "all" channel; the category falls back to the application's.
  EXPECT_EQ("event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/all/app-1007", events[1].topic);
  EXPECT_EQ("WebLinkEvent", xmlValue(events[1].text, "Event\\Type"));
  EXPECT_EQ("app-1007", xmlValue(events[1].text, "Event\\Message\\applicationId"));
  EXPECT_EQ("4", xmlValue(events[1].text, "Event\\Message\\categoryId"));
  EXPECT_EQ("de-DE", xmlValue(events[1].text, "Event\\Message\\localeCode"));
  // Reliable events are not published on the plain topics as well.
  EXPECT_TRUE(plain.events().empty());
}

TEST(BizlDemoComponentTest, DataFolderComesFromConfiguration) {
  TempDir data;
  data.write("replies/1.0/Catalog/getBanners.xml",
             "<?xml version=\"1.0\"?>\n<!-- only one banner -->\n<Response>\n  {status}\n  <Banners>\n"
             "    <Banner><Id>{!id}</Id></Banner>\n  </Banners>\n</Response>\n");
  StartedComponent demo(0, data.path());
  EXPECT_EQ(data.path(), demo.component.dataRoot());

  Answer banners = ask("1.0/Catalog/getBanners", "<getBanners><id>x&amp;y</id></getBanners>");
  ASSERT_EQ("SUCCESS", banners.type);
  EXPECT_EQ("<Response><Status><version>1.0</version><statusCode>0</statusCode><statusMessage>Success</statusMessage>"
            "</Status><Banners><Banner><Id>x&amp;y</Id></Banner></Banners></Response>",
            banners.text);
  Answer noId = ask("1.0/Catalog/getBanners", "<getBanners></getBanners>");
  EXPECT_EQ("ERROR", noId.type);
  EXPECT_EQ("Missing mandatory parameter: id", xmlValue(noId.text, "Status\\statusMessage"));

  // An operation the folder has no reply for is the demo's failure, not the request's.
  Answer categories = ask("1.0/Catalog/getCategoryTree", "<getCategoryTree></getCategoryTree>");
  EXPECT_EQ("CRITICAL", categories.type);
  EXPECT_EQ("100", xmlValue(categories.text, "Status\\statusCode"));
}

TEST(BizlDemoComponentTest, ConfigurationFallsBackToTheBundledDataAndDefaultPace) {
  LogCapture capture;
  configure("", "fast");
  bizl::BizlDemoComponent component;
  component.start();
  EXPECT_EQ(bizl::BizlDemoComponent::bundledDataRoot(), component.dataRoot());
  EXPECT_TRUE(std::filesystem::is_directory(component.dataRoot() + "/replies"));
  EXPECT_EQ(bizl::BizlDemoComponent::kDefaultEventInterval, component.eventInterval());
  component.stop();
  std::vector<std::string> records = capture.records();
  EXPECT_NE(records.end(), std::find(records.begin(), records.end(),
                                     "WARNING Ignoring BizlDemo/EventInterval \"fast\": expected 0 to 60000 milliseconds"));
}

TEST(BizlDemoComponentTest, LogsEveryRequestWithItsDocument) {
  LogCapture capture;
  StartedComponent demo;
  ASSERT_EQ("SUCCESS", ask("1.0/Catalog/getBanners", "<getBanners>\n</getBanners>").type);
  ASSERT_EQ("ERROR", ask("1.0/Profile/login", "<login><Mail>a</Mail><Password>b</Password></login>").type);
  std::vector<std::string> lines = capture.lines();
  auto find = [&](const std::string& text) {
    return std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
      std::vector<std::string> fields = LogCapture::fields(line);
      return fields.size() == 6 && fields[2] == "INFO" && fields[3] == "bizl" && fields[5] == text;
    });
  };
  EXPECT_NE(lines.end(), find("Request 1.0/Catalog/getBanners: <getBanners>\\n</getBanners>"));
  EXPECT_NE(lines.end(), find("Request 1.0/Profile/login: <login><Mail>a</Mail><Password>b</Password></login>"));
}

TEST(BizlDemoComponentTest, StopUnsubscribesAndLeavesNoThread) {
  {
    StartedComponent warmUp;  // the dispatcher starts its delivery threads on first use
    ASSERT_EQ("SUCCESS", ask("1.0/Catalog/getBanners", "<getBanners></getBanners>").type);
  }
  const size_t before = threadCount();
  bizl::BizlDemoComponent component;
  configure("", "1000");
  component.start();
  component.start();  // a second start changes nothing
  EXPECT_EQ(before + 1, threadCount());
  EXPECT_EQ(1u, MessageDispatcher::getInstance()->subscriptionCount("target:/KivraBusinessLogic/*"));
  // Events still waiting at stop are dropped with the thread.
  ASSERT_EQ("SUCCESS", ask("1.0/Process/updateApplication",
                           "<updateApplication><application_id>app-1007</application_id></updateApplication>").type);
  component.stop();
  EXPECT_EQ(0u, MessageDispatcher::getInstance()->subscriptionCount("target:/KivraBusinessLogic/*"));
  EXPECT_TRUE(eventually([&] { return threadCount() == before; })) << threadCount() << " threads, " << before << " before";

  // It can be started again.
  component.start();
  EXPECT_EQ("SUCCESS", ask("1.0/Catalog/getBanners", "<getBanners></getBanners>").type);
  component.stop();
}

TEST(BizlDemoComponentTest, NonXmlPayloadAndMissingReplyTopicAreHandled) {
  StartedComponent demo;
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait("target:/KivraBusinessLogic/1.0/Catalog/getBanners",
                                                          "1.0/Catalog/getBanners", ISerializablePtr(), 5, UUId(), 0);
  ASSERT_TRUE(reply);
  EXPECT_EQ("ERROR", reply->getMessageType());
  EXPECT_EQ("1", xmlValue(std::dynamic_pointer_cast<XMLPayload>(reply->getPayload())->getXML(), "Status\\statusCode"));

  LogCapture capture;
  CommonMessageProperties properties;
  properties.setTargetTopic("target:/KivraBusinessLogic/1.0/Catalog/getBanners");
  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(std::make_shared<XMLPayload>("<getBanners></getBanners>"));
  MessageDispatcher::getInstance()->post(message);
  EXPECT_TRUE(eventually([&] {
    std::vector<std::string> records = capture.records();
    return std::find(records.begin(), records.end(),
                     "WARNING Request 1.0/Catalog/getBanners has no reply topic; nobody to answer") != records.end();
  }));
}

TEST(BizlDemoPluginTest, TheLibraryRegistersTheComponent) {
  // A type registers once per process (a repeated run of this test finds it).
  if (!PluginManager::getInstance().hasType("kivrabizldemo")) {
    std::vector<std::string> types;
    std::string error;
    ASSERT_TRUE(PluginManager::getInstance().load(BIZL_DEMO_PLUGIN, types, error)) << error;
    ASSERT_EQ(std::vector<std::string>{"kivrabizldemo"}, types);
  }
  configure("", "1");
  IComponent* component = PluginManager::getInstance().createObject("kivrabizldemo");
  ASSERT_NE(nullptr, component);
  component->start();
  Answer answer = ask("1.0/Agent/getVersion", "<getVersion></getVersion>");
  EXPECT_EQ("SUCCESS", answer.type);
  component->stop();
  EXPECT_EQ(0, PluginManager::getInstance().destroyObject("kivrabizldemo", component));
}
