// The service pipeline with a business logic answering on the real dispatcher.

#include "ostrel/services/ServiceProxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ostrel/services/HCServiceProxyFunctor.h"
#include "ostrel/services/UIContextHolder.h"
#include "ostrel/services/KivraUIDescriptor.h"
#include "ostrel/services/UIDescriptorFactory.h"
#include "common/HandlerHelper/HandlerHelper.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/WebServer.h"
#include "support/BusinessLogicDouble.h"
#include "support/Eventually.h"
#include "support/HttpExchange.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

std::string body(const std::string& reply) {
  const size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

class ServiceProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    proxy.setDefaultUIType("default-ui");
    contexts.factory().registerBuilder("default-ui", UIDescriptorFactory::kivraBuilder("default-ui", dir.path()));
    // The default UI has no manifest: its output format 0 would override the
    // coding, so the tests put contexts of their own.
    useFormat(-1);
    functor = std::make_shared<HCServiceProxyFunctor>();
    functor->replyTimeoutSeconds = 1;
    proxy.registerFunctor("1.0/Catalog/getBanners", functor);
    proxy.registerFunctor("1.0/Catalog/getApplicationsByCategory", functor);
    logic.answer("SUCCESS", "<Response><Status>0</Status></Response>");
  }

  void useFormat(int format) {
    auto descriptor = std::make_shared<KivraUIDescriptor>("default-ui");
    descriptor->readFromText(manifest(format));
    contexts.holder().put("default-ui", descriptor);
  }
  static std::string manifest(int format) {
    return "<KivraUIDescriptor><UIType>default-ui</UIType><Version>1</Version><OutputFormat>" +
           std::to_string(format) +
           "</OutputFormat><StoreID>1</StoreID><AffiliateID>2</AffiliateID><SupportedLocaleCodes/>"
           "<SupportedFeatures/></KivraUIDescriptor>";
  }

  MessagePtr call(const std::string& query, const std::string& uri = "/1.0/Catalog/getBanners.svc",
                  int coding = 1) {
    proxy.setResponseCoding(coding);
    MessagePtr result;
    proxy.process(result, query, uri, std::make_shared<Socket>(nullptr, 0));
    return result;
  }

  TempDir dir;
  UIContexts contexts;
  ServiceProxy proxy{contexts};
  std::shared_ptr<HCServiceProxyFunctor> functor;
  BusinessLogicDouble logic;
};

TEST(ServiceProxyPathTest, ServicePathFromTheUri) {
  EXPECT_EQ("1.0/Catalog/getBanners", ServiceProxy::servicePath("/1.0/Catalog/getBanners.svc"));
  EXPECT_EQ("1.0/Catalog/getBanners", ServiceProxy::servicePath("/a/b/1.0/Catalog/getBanners.svc"));
  // Fewer than three slashes: the whole URI is taken.
  EXPECT_EQ("/Catalog/getBanners", ServiceProxy::servicePath("/Catalog/getBanners.svc"));
  EXPECT_EQ("", ServiceProxy::servicePath("/1.0/Catalog/getBanners"));
  EXPECT_EQ("", ServiceProxy::servicePath("getBanners.svc"));
  EXPECT_EQ("", ServiceProxy::servicePath(""));
  EXPECT_EQ("1.0/x.svc/y", ServiceProxy::servicePath("/1.0/x.svc/y.svc"));
}

TEST(ServiceProxyPathTest, ParametersKeepNamesAndTakeTheFirstCaseInsensitiveValue) {
  ParameterMap expected = {{"a", "1"}, {"A", "1"}};
  EXPECT_EQ(expected, ServiceProxy::parameters("a=1&A=2"));
  expected = {{"flag", ""}, {"x", "A b"}};
  EXPECT_EQ(expected, ServiceProxy::parameters("flag&x=%41+b"));
  expected = {{"", ""}};
  EXPECT_EQ(expected, ServiceProxy::parameters(""));
  expected = {{"a", "1"}, {"", ""}, {"b", ""}};
  EXPECT_EQ(expected, ServiceProxy::parameters("a=1&&b="));
  // A piece without "=" takes the value of a later one of its name; an empty
  // name takes the first "=value".
  expected = {{"flag", "late"}, {"FLAG", "late"}, {"", "x"}};
  EXPECT_EQ(expected, ServiceProxy::parameters("flag&=x&FLAG=late"));
}

TEST(ServiceProxyPathTest, ParametersCostWhatTheTextIsLong) {
  // Each name was once looked up in the whole text: a 10 MiB body took hours.
  std::string query;
  for (int i = 0; i < 200000; ++i) query += "p" + std::to_string(i) + "=" + std::to_string(i) + "&";
  const auto start = std::chrono::steady_clock::now();
  const ParameterMap map = ServiceProxy::parameters(query);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(200001u, map.size());
  EXPECT_EQ("199999", map.at("p199999"));
}

TEST_F(ServiceProxyTest, UnknownSessionAndUnsupportedUITypeInEachFormat) {
  MessagePtr json = call("sessionId=nope", "/1.0/Catalog/getBanners.svc", 1);
  EXPECT_EQ(Message::JsonError, json->type());
  EXPECT_EQ("{\"http\":{\"error\":\"Unknown or expired session\"}}", json->body());
  MessagePtr xml = call("sessionId=nope", "/1.0/Catalog/getBanners.svc", 0);
  EXPECT_EQ(Message::XmlError, xml->type());
  EXPECT_EQ("<http><error>Unknown or expired session</error></http>", xml->body());
  MessagePtr direct = call("sessionId=nope", "/1.0/Catalog/getBanners.svc", 2);
  EXPECT_EQ(Message::JsonError, direct->type());
  EXPECT_EQ("{\"http\":{\"error\":\"Unknown or expired session\"}}", direct->body());

  proxy.setDefaultUIType("no-such-ui");
  EXPECT_EQ("{\"http\":{\"error\":\"Unsupported UI Type. No builder available\"}}", call("", "/x.svc", 1)->body());
  EXPECT_EQ("<http><error>Unsupported UI Type. No builder available</error></http>", call("", "/x.svc", 0)->body());
  EXPECT_TRUE(logic.requests().empty());
}

TEST_F(ServiceProxyTest, ACallWithTooManyParametersNeverReachesTheBusinessLogic) {
  auto query = [](long count) {
    std::string text = "p0=x";
    for (long i = 1; i < count; ++i) text += "&p" + std::to_string(i) + "=x";
    return text;
  };
  EXPECT_EQ("<http><error>Too many parameters</error></http>",
            call(query(ServiceProxy::kMaxParameters + 1), "/1.0/Catalog/getBanners.svc", 0)->body());
  EXPECT_EQ("{\"http\":{\"error\":\"Too many parameters\"}}",
            call(query(ServiceProxy::kMaxParameters + 1), "/1.0/Profile/setUserPreference.svc", 1)->body());
  EXPECT_TRUE(logic.requests().empty());
  call(query(ServiceProxy::kMaxParameters), "/1.0/Catalog/getBanners.svc", 0);
  EXPECT_EQ(1u, logic.requests().size());
}

TEST_F(ServiceProxyTest, DefaultContextIsCreatedOnceThroughTheFactory) {
  proxy.setDefaultUIType("fresh-ui");
  contexts.factory().registerBuilder("fresh-ui", UIDescriptorFactory::kivraBuilder("fresh-ui", dir.path()));
  dir.write("fresh-ui/UXManifest.xml", "<KivraUIDescriptor><UIType>fresh-ui</UIType><Version>1</Version>"
                                       "<OutputFormat>0</OutputFormat><StoreID>1</StoreID><AffiliateID>2</AffiliateID>"
                                       "<SupportedLocaleCodes/><SupportedFeatures/></KivraUIDescriptor>");
  EXPECT_EQ(nullptr, contexts.get("fresh-ui"));
  EXPECT_EQ(Message::NotFound, call("", "/1.0/Nothing/here.svc")->type());
  UIDescriptorPtr context = contexts.get("fresh-ui");
  ASSERT_NE(nullptr, context);
  // The manifest's format 0 overrides the coding.
  EXPECT_EQ(Message::XmlReply, call("")->type());
  EXPECT_EQ(context, contexts.get("fresh-ui"));
}

TEST_F(ServiceProxyTest, SuccessRepliesByFormat) {
  MessagePtr converted = call("x=1");
  EXPECT_EQ(Message::JsonReply, converted->type());
  EXPECT_EQ("{\"response\":{\"status\":\"0\"}}", converted->body());
  ASSERT_EQ(1u, logic.requests().size());
  EXPECT_EQ("target:/KivraBusinessLogic/1.0/Catalog/getBanners", logic.requests()[0].target);

  useFormat(0);
  MessagePtr xml = call("");
  EXPECT_EQ(Message::XmlReply, xml->type());
  EXPECT_EQ("<Response><Status>0</Status></Response>", xml->body());

  useFormat(2);
  logic.answer("SUCCESS", "{\"already\":\"json\"}");
  MessagePtr json = call("");
  EXPECT_EQ(Message::JsonReply, json->type());
  EXPECT_EQ("{\"already\":\"json\"}", json->body());

  // An unknown reply type is an empty success.
  useFormat(0);
  logic.answer("MAYBE", "<x/>");
  EXPECT_EQ("", call("")->body());
  EXPECT_EQ(Message::XmlReply, call("")->type());
  // Not registered: "Not implemented", with the context found first.
  MessagePtr missing = call("", "/1.0/Catalog/unknown.svc");
  EXPECT_EQ(Message::NotFound, missing->type());
  EXPECT_EQ("Not implemented", missing->body());
}

// Once answered 200: a failure reported as success, and logged as one.
TEST_F(ServiceProxyTest, AnUnknownServiceIsNotFound) {
  WebServer server(Receivers{&proxy, nullptr, nullptr});
  const int port = freeLoopbackPort();
  ASSERT_TRUE(server.start("127.0.0.1:" + std::to_string(port), 2, "-0.0.0.0/0,+127.0.0.1", 0, 1, dir.path(), true,
                           false));
  LogCapture capture;
  const std::string reply = httpExchange(
      port, "GET /1.0/Catalog/nosuch.svc HTTP/1.1\r\nHost: 127.0.0.1\r\nReferer: http://127.0.0.1:" +
                std::to_string(port) + "/\r\n\r\n");
  EXPECT_EQ(0u, reply.find("HTTP/1.1 404 Not Found\r\n")) << reply;
  EXPECT_NE(std::string::npos, reply.find("\r\nContent-Length: 15\r\n")) << reply;
  EXPECT_EQ("Not implemented", body(reply));
  bool logged = false;
  for (const std::string& record : capture.records())
    logged = logged || record.find("INFO GET /1.0/Catalog/nosuch.svc 404 15 bytes ") == 0;
  EXPECT_TRUE(logged);
  EXPECT_TRUE(logic.requests().empty());
  server.stop();
}

TEST_F(ServiceProxyTest, BusinessLogicErrorsReachTheBrowserAsServerErrors) {
  const std::string error = "<Status><version>1</version><statusCode>-4</statusCode><statusMessage>bad</statusMessage></Status>";
  for (const char* type : {"ERROR", "CRITICAL"}) {
    logic.answer(type, error);
    useFormat(0);
    MessagePtr xml = call("");
    EXPECT_EQ(Message::XmlError, xml->type());
    EXPECT_EQ(error, xml->body());
    useFormat(1);
    EXPECT_EQ("{\"status\":{\"version\":\"1\",\"statuscode\":\"-4\",\"statusmessage\":\"bad\"}}", call("")->body());
    useFormat(2);
    MessagePtr json = call("");
    EXPECT_EQ(Message::JsonError, json->type());
    EXPECT_EQ("{\"status\":{\"version\":\"1\",\"statuscode\":-4,\"statusmessage\":\"bad\"}}", json->body());
  }
  // Format 2 with a text that is no status document: the failure leaves process.
  logic.answer("ERROR", "{\"not\":\"xml\"}");
  EXPECT_THROW(call(""), std::exception);
}

TEST_F(ServiceProxyTest, SilentBusinessLogicGivesTheTimeOutStatus) {
  logic.silence();
  useFormat(0);
  MessagePtr reply = call("");
  EXPECT_EQ(Message::XmlError, reply->type());
  EXPECT_EQ("<Status><version/><statusCode>-13</statusCode><statusMessage>Unexpected Error: "
            "HCI::HandlerHelper::sendAndWait returns NULL, posible timeout</statusMessage></Status>",
            reply->body());
  // A reply without a text payload is treated the same way.
  logic.answer("SUCCESS", std::nullopt);
  EXPECT_EQ(reply->body(), call("")->body());
  useFormat(2);
  logic.silence();
  EXPECT_EQ("{\"status\":{\"version\":\"\",\"statuscode\":-13,\"statusmessage\":\"Unexpected Error: "
            "HCI::HandlerHelper::sendAndWait returns NULL, posible timeout\"}}",
            call("")->body());
}

TEST_F(ServiceProxyTest, CallsBeyondTheWaitingBoundAreAnsweredAtOnceAndFilesStayServed) {
  logic.silence();
  useFormat(0);
  WaitingCalls waiting;
  FunctorContext context;
  context.waitingCalls = &waiting;
  auto bounded = std::make_shared<HCServiceProxyFunctor>(context);
  bounded->replyTimeoutSeconds = 60;
  proxy.registerFunctor("1.0/Catalog/getBanners", bounded);
  dir.write("index.html", "home");
  WebServer server(Receivers{&proxy, nullptr, nullptr});
  const int port = freeLoopbackPort();
  ASSERT_TRUE(server.start("127.0.0.1:" + std::to_string(port), 50, "-0.0.0.0/0,+127.0.0.1", 0, 1, dir.path(), true,
                           false));
  const std::string call =
      "GET /1.0/Catalog/getBanners.svc HTTP/1.1\r\nHost: 127.0.0.1\r\nReferer: http://127.0.0.1:" + std::to_string(port) +
      "/\r\n\r\n";
  std::vector<int> callers;
  for (int i = 0; i < 60; ++i) {
    callers.push_back(connectLoopback(port));
    send(callers.back(), call.data(), call.size(), MSG_NOSIGNAL);
  }
  ASSERT_TRUE(eventually([&] { return logic.requests().size() == size_t(WaitingCalls::kDefaultLimit); }));
  // The twenty beyond the bound never reach the business logic; they get the
  // time-out at once.
  std::vector<std::string> replies(callers.size());
  auto answered = [&] {
    size_t count = 0;
    for (size_t i = 0; i < callers.size(); ++i) {
      char bytes[4096];
      ssize_t n;
      while ((n = recv(callers[i], bytes, sizeof bytes, MSG_DONTWAIT)) > 0) replies[i].append(bytes, size_t(n));
      count += replies[i].empty() ? 0 : 1;
    }
    return count;
  };
  EXPECT_TRUE(eventually([&] { return answered() == 20; }));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ("home", body(httpExchange(port, "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                            "Referer: http://127.0.0.1:" + std::to_string(port) +
                                            "/\r\nConnection: close\r\n\r\n")));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(size_t(WaitingCalls::kDefaultLimit), logic.requests().size());

  // A stopping plug-in answers the waiting ones at once.
  HCI::HandlerHelper::cancelWaits();
  EXPECT_TRUE(eventually([&] { return answered() == 60; }));
  HCI::HandlerHelper::allowWaits();
  for (const std::string& reply : replies) {
    EXPECT_EQ(0u, reply.find("HTTP/1.1 500 Internal Server Error\r\n")) << reply;
    EXPECT_NE(std::string::npos, reply.find("sendAndWait returns NULL, posible timeout"));
  }
  for (int fd : callers) close(fd);
  EXPECT_EQ(0, waiting.waiting());
  server.stop();
}

// A business logic that answers frees places at once: a crowd larger than the
// bound is served, not refused.
TEST_F(ServiceProxyTest, ACrowdBeyondTheWaitingBoundIsServedWhileTheBusinessLogicAnswers) {
  useFormat(0);
  // Places free as fast as the business logic answers; a loaded machine may
  // take a while, so the crowd may wait long for one here.
  WaitingCalls crowdBound(2, std::chrono::seconds(10));
  FunctorContext context;
  context.waitingCalls = &crowdBound;
  auto bounded = std::make_shared<HCServiceProxyFunctor>(context);
  bounded->replyTimeoutSeconds = 10;
  proxy.registerFunctor("1.0/Catalog/getBanners", bounded);
  const std::string expected = call("")->body();
  std::atomic<int> refused{0};
  std::vector<std::thread> crowd;
  for (int i = 0; i < 16; ++i)
    crowd.emplace_back([&] {
      for (int j = 0; j < 20; ++j)
        if (call("")->body() != expected) refused++;
    });
  for (std::thread& caller : crowd) caller.join();
  EXPECT_EQ(0, refused.load());
  EXPECT_EQ(0, crowdBound.waiting());

  // With the business logic silent, a call beyond the bound gives its worker
  // back after the short wait for a place.
  logic.silence();
  WaitingCalls bound(2);
  context.waitingCalls = &bound;
  proxy.registerFunctor("1.0/Catalog/getBanners", std::make_shared<HCServiceProxyFunctor>(context));
  WaitingCalls::Place held = bound.take(), alsoHeld = bound.take();
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_NE(std::string::npos, call("")->body().find("posible timeout"));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
}

TEST_F(ServiceProxyTest, TemplateCarriesParametersIncludingTheSession) {
  auto session = std::make_shared<KivraUIDescriptor>("default-ui");
  session->readFromText(manifest(0));
  contexts.holder().put("s-1", session);
  call("sessionId=s-1&categoryId=7&sort=name&localeCode=en", "/1.0/Catalog/getApplicationsByCategory.svc");
  ASSERT_EQ(1u, logic.requests().size());
  const std::string document = logic.requests()[0].text;
  // Parameters no placeholder takes, the session among them, ride on the list marker.
  EXPECT_NE(std::string::npos, document.find("<parameter><key>sessionId</key><value>s-1</value></parameter>"))
      << document;
  EXPECT_NE(std::string::npos, document.find("<parameter><key>sort</key><value>name</value></parameter>"));
}

TEST(HCServiceProxyFunctorTest, UnknownPathIsAStatusError) {
  HCServiceProxyFunctor functor;
  try {
    functor({}, "1.0/No/such", "");
    FAIL() << "no exception";
  } catch (const ServiceError& error) {
    EXPECT_TRUE(error.isStatus());
    EXPECT_EQ(-13, error.code());
    EXPECT_EQ("Configuration Key (1.0/No/such) not found!", error.message());
    EXPECT_EQ("<Status><version/><statusCode>-13</statusCode><statusMessage>Configuration Key (1.0/No/such) not "
              "found!</statusMessage></Status>",
              std::string(error.what()));
  }
}

}  // namespace
