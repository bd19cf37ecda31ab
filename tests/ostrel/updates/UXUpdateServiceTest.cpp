// The UX update services over real sockets with the real engine, and the
// delivery handler on the real dispatcher.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/text/JsonReader.h"
#include "ostrel/updates/ReliableListenerEvents.h"
#include "ostrel/updates/UXUpdateDeliveryHandler.h"
#include "ostrel/updates/UXUpdateFunctor.h"
#include "ostrel/services/BuilderRegistry.h"
#include "ostrel/services/ServiceProxy.h"
#include "ostrel/services/UIContexts.h"
#include "ostrel/updates/UXUpdateManager.h"
#include "ostrel/web/WebServer.h"
#include "ostrel/channels/ReliableHCListener.h"
#include "ostrel/xml2json/Xml2Json.h"
#include "support/HttpExchange.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tessaro/StatusResultTypePayload.h"
#include "UXUpdateTestSupport.h"

namespace {

namespace fs = std::filesystem;

class UXUpdateServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    html = dir.file("html");
    dir.write("html/store/UXManifest.xml", uxtest::uiManifest("store", "1.0.5", 7, 3, 0));
    dir.write("html/store/index.html", "old");
    contexts.setDefaultUIType("store");
    proxy.setDefaultUIType("store");
    contexts.factory().registerBuilder("store", UIDescriptorFactory::kivraBuilder("store", html));
    contexts.holder().put("store", contexts.factory().create("store"));
    agent.answerXml(4, "2.1.0");

    manager = std::make_shared<UXUpdateManager>(html, &contexts);
    manager->queryTimeoutSeconds = 10;
    manager->setReliableEvents(events);
    FunctorContext context;
    context.contexts = &contexts;
    context.reliable = &reliable;
    context.updates = manager.get();
    auto functor = std::make_shared<UXUpdateFunctor>(context);
    for (const char* path : {"1.0/UXUpdate/uxUpdate", "1.0/UXUpdate/getUxVersion", "1.0/UXUpdate/uxWasUpdated"})
      proxy.registerFunctor(path, functor);
    port = freeLoopbackPort();
    ASSERT_TRUE(server.start("127.0.0.1:" + std::to_string(port), 4, "-0.0.0.0/0,+127.0.0.1", 0, 1, html, true, false));
  }
  void TearDown() override {
    agent.release();
    manager->waitForUpdate();
    server.stop();
  }
  // A reliable event of "all" that no channel takes: it waits for a reply.
  void pend(const std::string& text) { reliable.dispatch("all", Event(text, "")); }

  std::string package(const std::string& version = "1.1.0") {
    const std::string folder = dir.file("pkg-" + version);
    uxtest::PackageFields fields;
    fields.version = version;
    fs::create_directories(folder + "/store/js");
    std::ofstream(folder + "/UXUpdateManifest.xml") << uxtest::packageManifest(fields);
    std::ofstream(folder + "/store/index.html") << "new " + version;
    std::ofstream(folder + "/store/js/app.js") << "app " + version;
    std::ofstream(folder + "/store/UXManifest.xml") << uxtest::uiManifest("store", version, 7, 3, 0);
    EXPECT_EQ(0, uxtest::zipFolder(folder, dir.file(version + ".zip")));
    return dir.file(version + ".zip");
  }

  // The reply's head line and body.
  std::pair<std::string, std::string> get(const std::string& target) {
    std::string reply = httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                           "Referer: http://127.0.0.1:" + std::to_string(port) + "/store/index.html\r\n\r\n");
    size_t line = reply.find("\r\n");
    size_t end = reply.find("\r\n\r\n");
    return {reply.substr(0, line), end == std::string::npos ? "" : reply.substr(end + 4)};
  }
  std::string service(const std::string& name, const std::string& query = "") {
    auto reply = get("/1.0/UXUpdate/" + name + ".svc" + (query.empty() ? "" : "?" + query));
    EXPECT_EQ("HTTP/1.1 200 OK", reply.first) << name << " " << query;
    return reply.second;
  }
  // The installed "store" UI, now with this output format.
  void serveFormat(int format, const std::string& version = "1.0.5") {
    dir.write("html/store/UXManifest.xml", uxtest::uiManifest("store", version, 7, 3, format));
    contexts.holder().put("store", contexts.factory().create("store"));
  }
  static std::string status(int code) {
    return "<Response><Status><statuscode>" + std::to_string(code) + "</statuscode></Status></Response>";
  }

  TempDir dir;
  std::string html;
  uxtest::Agent agent;
  std::shared_ptr<uxtest::FakeEvents> events = std::make_shared<uxtest::FakeEvents>();
  std::shared_ptr<UXUpdateManager> manager;
  UIContexts contexts;
  ServiceProxy proxy{contexts};
  ReliableHCListener reliable{*MessageDispatcher::getInstance()};
  WebServer server{Receivers{&proxy, nullptr, nullptr}};
  int port = 0;
};

TEST_F(UXUpdateServiceTest, UpdateActivateThenRestoreOverHttp) {
  EXPECT_EQ("old", get("/store/index.html").second);
  EXPECT_EQ("HTTP/1.1 404 Not Found", get("/store/js/app.js").first);
  EXPECT_EQ("<Response><uxVersion>1.0.5</uxVersion></Response>", service("getUxVersion"));

  EXPECT_EQ(status(0), service("uxUpdate", "Action=UPDATE_ACTIVATE&Path=" + package()));
  manager->waitForUpdate();
  EXPECT_EQ("new 1.1.0", get("/store/index.html").second);
  EXPECT_EQ("app 1.1.0", get("/store/js/app.js").second);

  pend("<Event><Type>A</Type></Event>");
  pend("<Event><Type>B</Type></Event>");
  // One event a reply, oldest first.
  EXPECT_EQ("<Response><wasUpdated>1</wasUpdated><Event><Type>A</Type></Event></Response>", service("uxWasUpdated"));
  EXPECT_EQ("<Response><wasUpdated>0</wasUpdated><Event><Type>B</Type></Event></Response>", service("uxWasUpdated"));
  EXPECT_EQ("<Response><wasUpdated>0</wasUpdated></Response>", service("uxWasUpdated"));
  pend("<Event><Type>C</Type></Event>");
  EXPECT_EQ("<Response><uxVersion>1.1.0</uxVersion><Event><Type>C</Type></Event></Response>", service("getUxVersion"));

  EXPECT_EQ(status(0), service("uxUpdate", "Action=RESTORE"));
  EXPECT_EQ("old", get("/store/index.html").second);
  EXPECT_EQ("HTTP/1.1 404 Not Found", get("/store/js/app.js").first);
  EXPECT_EQ("<Response><uxVersion>1.0.5</uxVersion></Response>", service("getUxVersion"));

  // Stage, then activate separately.
  EXPECT_EQ(status(0), service("uxUpdate", "Action=UPDATE&Path=" + package("1.2.0")));
  manager->waitForUpdate();
  EXPECT_EQ("old", get("/store/index.html").second);
  EXPECT_EQ(status(0), service("uxUpdate", "Action=ACTIVATE"));
  EXPECT_EQ("new 1.2.0", get("/store/index.html").second);
  EXPECT_EQ(status(-105), service("uxUpdate", "Action=ACTIVATE"));
}

TEST_F(UXUpdateServiceTest, APackageCarryingAPasswordFileLeavesTheUIServed) {
  // Installed, the file would make every page of its folder ask for a password.
  const std::string folder = dir.file("pkg-control");
  uxtest::PackageFields fields;
  fs::create_directories(folder + "/store");
  std::ofstream(folder + "/UXUpdateManifest.xml") << uxtest::packageManifest(fields);
  std::ofstream(folder + "/store/index.html") << "new";
  std::ofstream(folder + "/store/.htpasswd") << "user:ostrel.local:0123456789abcdef0123456789abcdef\n";
  ASSERT_EQ(0, uxtest::zipFolder(folder, dir.file("control.zip")));

  EXPECT_EQ(status(0), service("uxUpdate", "Action=UPDATE_ACTIVATE&Path=" + dir.file("control.zip")));
  manager->waitForUpdate();
  EXPECT_EQ(std::make_pair(std::string("HTTP/1.1 200 OK"), std::string("old")), get("/store/index.html"));
  EXPECT_FALSE(fs::exists(html + "/store/.htpasswd"));
  EXPECT_EQ(status(-105), service("uxUpdate", "Action=ACTIVATE"));
  EXPECT_EQ("<Response><uxVersion>1.0.5</uxVersion></Response>", service("getUxVersion"));
}

TEST_F(UXUpdateServiceTest, OtherActionsStartNothing) {
  const std::string archive = package();
  const size_t before = agent.requests().size();
  for (const std::string& query : {"Action=update_activate&Path=" + archive, "Action=update&Path=" + archive,
                                   std::string("Action=Restore"), "Path=" + archive, std::string("")}) {
    EXPECT_EQ(status(0), service("uxUpdate", query)) << query;
    manager->waitForUpdate();
  }
  EXPECT_EQ(before, agent.requests().size());
  EXPECT_FALSE(fs::exists(dir.file("html_update")));
  EXPECT_EQ("old", get("/store/index.html").second);
  // A missing path starts an update that finds no package; the service still answers 0.
  EXPECT_EQ(status(0), service("uxUpdate", "Action=UPDATE"));
  manager->waitForUpdate();
  EXPECT_EQ(before, agent.requests().size());
}

TEST_F(UXUpdateServiceTest, SecondStartWhileOneRunsAnswersBusy) {
  const std::string archive = package();
  agent.hold();
  EXPECT_EQ(status(0), service("uxUpdate", "Action=UPDATE&Path=" + archive));
  ASSERT_TRUE(agent.waitForRequests(1));
  EXPECT_EQ(status(-103), service("uxUpdate", "Action=UPDATE&Path=" + archive));
  EXPECT_EQ(status(-103), service("uxUpdate", "Action=UPDATE_ACTIVATE&Path=" + archive));
  EXPECT_EQ(status(-103), service("uxUpdate", "Action=ACTIVATE"));
  EXPECT_EQ(status(-103), service("uxUpdate", "Action=RESTORE"));
  agent.release();
  manager->waitForUpdate();
  EXPECT_EQ("new 1.1.0", TempDir::read(dir.file("html_update/store/index.html")));
  EXPECT_EQ("old", get("/store/index.html").second);
}

TEST_F(UXUpdateServiceTest, JsonWrittenHereHasTheShapeOfTheConvertedXml) {
  struct Call {
    std::string service, query, version, xmlEvent, jsonEvent;
  };
  const std::string xmlEvent = "<Event><Type>A</Type><Message><id>7</id></Message></Event>";
  // The business logic's own JSON for that event.
  const std::string jsonEvent = "{\"event\":{\"type\":\"A\",\"message\":{\"id\":\"7\"}}}";
  const std::vector<Call> calls = {
      {"getUxVersion", "", "1.0.5", "", ""},
      {"getUxVersion", "", "1.0.5", xmlEvent, jsonEvent},
      {"getUxVersion", "", "", xmlEvent, jsonEvent},
      {"uxWasUpdated", "", "1.0.5", "", ""},
      {"uxWasUpdated", "", "1.0.5", xmlEvent, " " + jsonEvent + "\n"},
      {"uxUpdate", "Action=RESTORE", "1.0.5", "", ""},
      {"uxUpdate", "Action=ACTIVATE", "1.0.5", "", ""},
      {"uxUpdate", "Action=other", "1.0.5", "", ""},
  };
  for (const Call& call : calls) {
    const std::string what = call.service + " " + call.query + " " + call.version + " " + call.jsonEvent;
    serveFormat(0, call.version);
    if (!call.xmlEvent.empty()) pend(call.xmlEvent);
    const std::string xml = service(call.service, call.query);
    serveFormat(1, call.version);
    if (!call.xmlEvent.empty()) pend(call.xmlEvent);
    const std::string converted = service(call.service, call.query);
    serveFormat(2, call.version);
    if (!call.jsonEvent.empty()) pend(call.jsonEvent);
    const std::string written = service(call.service, call.query);
    EXPECT_EQ(Xml2Json().convert(xml), written) << what;
    EXPECT_EQ(converted, written) << what;
    json::Document document;
    EXPECT_TRUE(document.read(written) && document.top().kind == json::Node::Kind::kObject) << written;
  }
  serveFormat(2);
  pend(jsonEvent);
  EXPECT_EQ("{\"response\":{\"uxversion\":\"1.0.5\",\"event\":{\"type\":\"A\",\"message\":{\"id\":\"7\"}}}}",
            service("getUxVersion"));
  EXPECT_EQ("{\"response\":{\"status\":{\"statuscode\":\"-105\"}}}", service("uxUpdate", "Action=ACTIVATE"));

  // An event that is no {"event":...} document is the "event" member; one
  // still in XML is converted: either way the reply stays JSON.
  pend("{\"type\":\"B\"}");
  EXPECT_EQ("{\"response\":{\"wasupdated\":\"0\",\"event\":{\"type\":\"B\"}}}", service("uxWasUpdated"));
  pend("<Event><Type>C</Type></Event>");
  EXPECT_EQ("{\"response\":{\"wasupdated\":\"0\",\"event\":{\"type\":\"C\"}}}", service("uxWasUpdated"));
}

TEST(UXUpdateFunctorTest, BuilderAndUnknownPaths) {
  FunctorPtr built = BuilderRegistry::instance().create("UXUpdateFunctor");
  ASSERT_NE(nullptr, built);
  EXPECT_NE(nullptr, std::dynamic_pointer_cast<UXUpdateFunctor>(built));

  UXUpdateManager manager("");
  FunctorContext context;
  context.updates = &manager;
  UXUpdateFunctor functor(context);
  try {
    functor({}, "1.0/UXUpdate/other", "");
    FAIL() << "no exception";
  } catch (const ServiceError& error) {
    EXPECT_EQ("<Status><version/><statusCode>-13</statusCode><statusMessage>Configuration Key (1.0/UXUpdate/other) "
              "not found!</statusMessage></Status>",
              std::string(error.what()));
  }

  LogCapture log;
  UXUpdateManager::updateCallback(std::make_shared<update_msg>(2));
  EXPECT_TRUE(log.records().empty());
  UXUpdateManager::updateCallback(nullptr);
  EXPECT_EQ(std::vector<std::string>{"ERROR Can't Update. "}, log.records());
}

TEST_F(UXUpdateServiceTest, TheRealListenerServesPendingEventsAndItsFormat) {
  manager->setReliableEvents(std::make_shared<ReliableListenerEvents>(reliable));
  reliable.dispatch("all", Event("<Event><Type>First</Type></Event>", "First"));
  reliable.dispatch("all", Event("<Event><Type>Second</Type></Event>", "Second"));
  // One reply, one event, oldest first: none is dropped.
  EXPECT_EQ("<Response><wasUpdated>0</wasUpdated><Event><Type>First</Type></Event></Response>", service("uxWasUpdated"));
  EXPECT_EQ("<Response><uxVersion>1.0.5</uxVersion><Event><Type>Second</Type></Event></Response>",
            service("getUxVersion"));
  EXPECT_EQ("<Response><uxVersion>1.0.5</uxVersion></Response>", service("getUxVersion"));

  // The agent's replies are read in the listener's format.
  reliable.setOutputFormat(2);
  agent.answer("{\"deviceType\":9}", "{\"version\":\"2.1.0\"}");
  int32_t deviceType = 0;
  EXPECT_TRUE(manager->queryDeviceType(deviceType));
  EXPECT_EQ(9, deviceType);
  reliable.setOutputFormat(0);
  EXPECT_FALSE(manager->queryDeviceType(deviceType));
}

class UXUpdateDeliveryTest : public UXUpdateServiceTest {
 protected:
  static LocalMessagePtr message(const ISerializablePtr& payload) {
    CommonMessageProperties properties;
    properties.setTargetTopic(_UXUpdateDeliveryHandler::kTopic);
    properties.setMessageType("UXUpdate");
    auto result = std::make_shared<LocalMessage>(properties);
    result->setPayload(payload);
    return result;
  }
  static StatusResultTypePayloadPtr status(const std::map<std::string, std::string>* properties) {
    auto payload = std::make_shared<StatusResultTypePayload>();
    if (properties) payload->properties = std::make_shared<std::map<std::string, std::string>>(*properties);
    return payload;
  }
  bool logged(const std::string& record) {
    return eventually([&] {
      std::vector<std::string> records = log.records();
      return std::find(records.begin(), records.end(), record) != records.end();
    });
  }

  LogCapture log;
};

TEST_F(UXUpdateDeliveryTest, MessagesWithoutAFileAreLoggedAndIgnored) {
  _UXUpdateDeliveryHandler handler(*MessageDispatcher::getInstance(), *manager);
  ASSERT_EQ(0, handler.subscribe());
  EXPECT_EQ(2, handler.subscribe());
  EXPECT_TRUE(logged("ERROR Couldn't Subscribe to server"));

  handler.onMessage(1, nullptr);
  EXPECT_TRUE(logged("WARNING Null Message Received."));
  MessageDispatcher::getInstance()->post(message(nullptr));
  EXPECT_TRUE(logged("ERROR Can not get required information from received msg."));
  MessageDispatcher::getInstance()->post(message(std::make_shared<XMLPayload>("<filename>x</filename>")));
  EXPECT_TRUE(logged("WARNING Empty Payload."));
  MessageDispatcher::getInstance()->post(message(status(nullptr)));
  const std::map<std::string, std::string> others = {{"file", package()}, {"Filename", package()}};
  MessageDispatcher::getInstance()->post(message(status(&others)));
  EXPECT_TRUE(eventually([&] {
    std::vector<std::string> records = log.records();
    return std::count(records.begin(), records.end(), "ERROR Invalid Payload. File property is empty") == 2;
  }));
  manager->waitForUpdate();
  EXPECT_TRUE(agent.requests().empty());
  EXPECT_FALSE(manager->wasUpdated());

  EXPECT_EQ(0, handler.unsubscribe());
  EXPECT_EQ(2, handler.unsubscribe());
  EXPECT_TRUE(logged("ERROR Couldn't de-subscribe from server"));
}

TEST_F(UXUpdateDeliveryTest, AHandlerThatGoesIsUnsubscribed) {
  {
    _UXUpdateDeliveryHandler handler(*MessageDispatcher::getInstance(), *manager);
    ASSERT_EQ(0, handler.subscribe());
    EXPECT_EQ(1u, MessageDispatcher::getInstance()->subscriptionCount(_UXUpdateDeliveryHandler::kTopic));
  }
  EXPECT_EQ(0u, MessageDispatcher::getInstance()->subscriptionCount(_UXUpdateDeliveryHandler::kTopic));
}

TEST_F(UXUpdateDeliveryTest, AFileStartsAnUpdateWithActivation) {
  _UXUpdateDeliveryHandler handler(*MessageDispatcher::getInstance(), *manager);
  ASSERT_EQ(0, handler.subscribe());
  const std::map<std::string, std::string> properties = {{"filename", package()}};
  MessageDispatcher::getInstance()->post(message(status(&properties)));
  EXPECT_TRUE(eventually([&] { return get("/store/index.html").second == "new 1.1.0"; }));
  manager->waitForUpdate();
  EXPECT_TRUE(manager->wasUpdated());
  EXPECT_EQ("<Response><uxVersion>1.1.0</uxVersion></Response>", service("getUxVersion"));
  EXPECT_EQ(0, handler.unsubscribe());
}

}  // namespace
