// The demo business logic as Ostrel meets it: a component on the host's real
// dispatcher, asked with HCI::HandlerHelper::sendAndWait.

#include "bizl-demo/BizlDemoComponent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <thread>

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
  std::smatch match;
  ASSERT_TRUE(std::regex_search(device.text, match, std::regex("(\\d+)"))) << device.text;
  EXPECT_EQ("1", match[1]);
  ASSERT_TRUE(std::regex_search(version.text, match, std::regex("(\\d+\\.\\d+\\.\\d+)"))) << version.text;
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
  EXPECT_EQ(before + 1 + bizl::BizlDemoComponent::kWorkers, threadCount());
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

namespace {

// The bundled applications: id, name, category.
struct DemoApp {
  const char* id;
  const char* name;
  const char* category;
};
const DemoApp kApps[] = {{"app-1001", "Notely", "1"},      {"app-1002", "TaskTide", "1"},  {"app-1003", "Pixel Quest", "2"},
                         {"app-1004", "Word Harbor", "2"}, {"app-1005", "Lumen Photo", "3"}, {"app-1006", "ClipCraft", "3"},
                         {"app-1007", "StarAtlas", "4"},   {"app-1008", "Lingo Leaf", "4"}};

std::string detailsRequest(const DemoApp& app) {
  return std::string("<getAppDetails><AplicationGUID>") + app.id + "</AplicationGUID></getAppDetails>";
}

std::string categoryRequest(const DemoApp& app) {
  return std::string("<searchApps><criteria><type>BY_CAT</type><typeValue>") + app.category +
         "</typeValue></criteria><start>0</start><count>20</count></searchApps>";
}

// The reply answers the request that `tag` ("<details|search> <app index> ...") names.
void expectAnswers(const std::string& tag, const ReceivedReply& reply) {
  const DemoApp& app = kApps[std::stoi(tag.substr(tag.find(' ') + 1))];
  ASSERT_EQ("SUCCESS", reply.type) << tag << ": " << reply.text;
  if (tag.compare(0, 7, "details") == 0) {
    EXPECT_EQ(app.id, xmlValue(reply.text, "Response\\Application\\Id")) << tag;
    EXPECT_EQ(app.name, xmlValue(reply.text, "Response\\Application\\Name")) << tag;
  } else {
    EXPECT_EQ(app.category, xmlValue(reply.text, "Response\\Criteria\\TypeValue")) << tag;
    EXPECT_EQ("2", xmlValue(reply.text, "Response\\TotalCount")) << tag;
  }
}

// The threads that logged "Request ..." records.
std::set<std::string> requestThreads(const LogCapture& capture) {
  std::set<std::string> threads;
  for (const std::string& line : capture.lines()) {
    std::vector<std::string> fields = LogCapture::fields(line);
    if (fields.size() == 6 && fields[5].compare(0, 8, "Request ") == 0) threads.insert(fields[1]);
  }
  return threads;
}

size_t recordsStartingWith(const LogCapture& capture, const std::string& start) {
  std::vector<std::string> records = capture.records();
  return size_t(std::count_if(records.begin(), records.end(),
                              [&](const std::string& record) { return record.compare(0, start.size(), start) == 0; }));
}

}  // namespace

// Many requests in flight at once, posted from several threads: each reply goes to
// its own reply topic, carries its own message identifier and answers its request.
TEST(BizlDemoConcurrencyTest, RequestsFromSeveralThreadsAreEachAnsweredAsTheirOwn) {
  LogCapture capture;
  StartedComponent demo;
  ReplyCollector replies("target://bizltest-many/");
  constexpr int kSenders = 6, kEach = 50;
  std::mutex sentMutex;
  std::map<std::string, std::string> sent;  // tag -> message identifier
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) {
        const int app = (s + i) % 8;
        const bool details = i % 2 == 0;
        const std::string tag = std::string(details ? "details " : "search ") + std::to_string(app) + " " +
                                std::to_string(s) + "." + std::to_string(i);
        const std::string id = details ? replies.post("1.0/Application/getAppDetails", detailsRequest(kApps[app]), tag)
                                       : replies.post("1.0/Catalog/searchApps", categoryRequest(kApps[app]), tag);
        std::lock_guard<std::mutex> lock(sentMutex);
        sent[tag] = id;
      }
    });
  for (std::thread& sender : senders) sender.join();
  std::vector<ReceivedReply> received = replies.waitFor(kSenders * kEach);
  ASSERT_EQ(size_t(kSenders * kEach), received.size());
  std::set<std::string> answered;
  for (const ReceivedReply& reply : received) {
    auto request = sent.find(reply.topic);
    ASSERT_NE(sent.end(), request) << reply.topic;
    EXPECT_EQ(request->second, reply.messageId) << reply.topic;
    expectAnswers(reply.topic, reply);
    answered.insert(reply.topic);
  }
  EXPECT_EQ(sent.size(), answered.size());
  EXPECT_GT(requestThreads(capture).size(), 1u) << "one worker answered everything";
}

// Stop while senders flood the demo: it returns promptly, every request the demo
// took is answered (run, or refused with status 103 when it was still waiting for
// a worker; whether any was depends on timing), and its threads are gone. Requests
// still queued in the host's dispatcher when the demo unsubscribes are the host's
// to drop.
TEST(BizlDemoConcurrencyTest, StopWithRequestsInFlightAnswersEveryRequestItTook) {
  {
    StartedComponent warmUp;  // the dispatcher starts its delivery threads on first use
    ASSERT_EQ("SUCCESS", ask("1.0/Catalog/getBanners", "<getBanners></getBanners>").type);
  }
  const size_t before = threadCount();
  LogCapture capture;
  ReplyCollector replies("target://bizltest-stop/");
  bizl::BizlDemoComponent component;
  configure("", "1");
  component.start();
  std::atomic<bool> sending{true};
  std::vector<std::thread> senders;
  for (int s = 0; s < 4; ++s)
    senders.emplace_back([&, s] {
      for (int i = 0; sending; ++i)
        replies.post("1.0/Catalog/searchApps", categoryRequest(kApps[(s + i) % 8]),
                     "search " + std::to_string((s + i) % 8) + " " + std::to_string(s) + "." + std::to_string(i));
    });
  ASSERT_TRUE(eventually([&] { return replies.count() >= 100; }));
  const auto stopStart = std::chrono::steady_clock::now();
  component.stop();
  const auto stopTook = std::chrono::steady_clock::now() - stopStart;
  sending = false;
  for (std::thread& sender : senders) sender.join();

  EXPECT_LT(stopTook, std::chrono::seconds(2));
  const size_t run = recordsStartingWith(capture, "INFO Request 1.0/Catalog/searchApps: ");
  const size_t refused = recordsStartingWith(capture, "WARNING Reply CRITICAL to 1.0/Catalog/searchApps: ");
  ASSERT_TRUE(eventually([&] { return replies.count() == run + refused; }))
      << replies.count() << " replies, " << run << " run, " << refused << " refused";
  size_t stopping = 0;
  for (const ReceivedReply& reply : replies.waitFor(0)) {
    if (reply.type != "CRITICAL") {
      expectAnswers(reply.topic, reply);
      continue;
    }
    ++stopping;
    EXPECT_EQ("103", xmlValue(reply.text, "Status\\statusCode"));
    EXPECT_EQ("The demo business logic is stopping", xmlValue(reply.text, "Status\\statusMessage"));
  }
  EXPECT_EQ(refused, stopping);
  EXPECT_TRUE(eventually([&] { return threadCount() == before; })) << threadCount() << " threads, " << before << " before";
}

// Downloads started at the same moment from several threads, one application
// twice: every channel gets 20, 40, 60, 80, 100 for each download, never mixed.
TEST(BizlDemoConcurrencyTest, EachDownloadChannelKeepsItsOrder) {
  StartedComponent demo(0, "", "20");
  EventRecorder recorder(kAllEvents);
  const std::vector<std::pair<std::string, std::string>> downloads = {
      {"purchaseApplication", "app-1002"}, {"purchaseApplication", "app-1002"}, {"purchaseApplication", "app-1003"},
      {"purchaseApplication", "app-1005"}, {"updateApplication", "app-1007"},   {"updateApplication", "app-1001"}};
  Gate go;
  std::vector<std::thread> senders;
  std::atomic<int> succeeded{0};
  for (const auto& download : downloads)
    senders.emplace_back([&, download] {
      go.wait();
      const std::string& root = download.first;
      if (ask("1.0/Process/" + root, "<" + root + "><application_id>" + download.second + "</application_id></" + root + ">")
              .type == "SUCCESS")
        ++succeeded;
    });
  go.open();
  for (std::thread& sender : senders) sender.join();
  ASSERT_EQ(int(downloads.size()), succeeded.load());

  std::vector<ReceivedEvent> events = recorder.waitFor(downloads.size() * 5);
  ASSERT_EQ(downloads.size() * 5, events.size());
  std::map<std::string, std::vector<std::string>> progress;  // by topic
  for (const ReceivedEvent& event : events) progress[event.topic].push_back(xmlValue(event.text, "Event\\Message\\progress"));
  const std::vector<std::string> once = {"20", "40", "60", "80", "100"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  ASSERT_EQ(5u, progress.size());
  for (const auto& channel : progress)
    EXPECT_EQ(channel.first.find("purchaseApplication/app-1002") != std::string::npos ? twice : once, channel.second)
        << channel.first;
}
