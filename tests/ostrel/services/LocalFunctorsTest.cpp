// The services answered inside the plug-in, with a business logic answering on
// the host's real dispatcher.

#include <gtest/gtest.h>

#include <mutex>

#include "ostrel/services/BuilderRegistry.h"
#include "ostrel/services/StartupErrors.h"
#include "ostrel/services/FunctorException.h"
#include "ostrel/services/ServiceProxy.h"
#include "ostrel/services/UIContexts.h"
#include "ostrel/services/HCAvailabilityFunctor.h"
#include "ostrel/services/HCInitClientFunctor.h"
#include "ostrel/services/HCSetUserPreferenceFunctor.h"
#include "ostrel/services/KivraUIDescriptor.h"
#include "ostrel/channels/Event.h"
#include "ostrel/channels/ReliableHCListener.h"
#include "support/BusinessLogicDouble.h"
#include "support/LogCapture.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace {

const char kUIType[] = "functor-test-ui";

std::string manifest(const std::string& uiType, int format, int storeId) {
  return "<KivraUIDescriptor><UIType>" + uiType + "</UIType><Version>3</Version><OutputFormat>" +
         std::to_string(format) + "</OutputFormat><StoreID>" + std::to_string(storeId) +
         "</StoreID><AffiliateID>9</AffiliateID><SupportedLocaleCodes/><SupportedFeatures/></KivraUIDescriptor>";
}

class LocalFunctorsTest : public ::testing::Test {
 protected:
  void SetUp() override { useDescriptor(kUIType, 0, 7); }

  void useDescriptor(const std::string& key, int format, int storeId) {
    auto descriptor = std::make_shared<KivraUIDescriptor>(key);
    descriptor->readFromText(manifest(key, format, storeId));
    contexts.holder().put(key, descriptor);
  }
  static std::string descriptorXml(int format, int storeId) {
    KivraUIDescriptor descriptor(kUIType);
    descriptor.readFromText(manifest(kUIType, format, storeId));
    return descriptor.writeToText();
  }

  // A functor as the start sequence makes it, by class name.
  FunctorPtr make(const std::string& className) {
    FunctorContext context;
    context.contexts = &contexts;
    context.reliable = &reliable;
    context.startupErrors = &startupErrors;
    FunctorPtr functor = BuilderRegistry::instance().create(className, context);
    EXPECT_TRUE(functor) << className;
    if (auto proxy = std::dynamic_pointer_cast<HCServiceProxyFunctor>(functor)) proxy->replyTimeoutSeconds = 2;
    return functor;
  }

  BusinessLogicDouble logic;
  UIContexts contexts{kUIType};
  ReliableHCListener reliable{*MessageDispatcher::getInstance()};
  StartupErrors startupErrors;
};

TEST_F(LocalFunctorsTest, InitClientSendsTheUIsStoreDataAndWrapsTheReplyInXml) {
  logic.script({{"SUCCESS", "<Response><localeCode>en</localeCode></Response>"}});
  reliable.dispatch("all", Event("<Event><Type>A</Type></Event>", "A"));
  reliable.dispatch("all", Event("<Event><Type>B</Type></Event>", "B"));
  FunctorPtr initClient = make("HCInitClientFunctor");

  std::string reply = (*initClient)({{"storeid", "5"}, {"locale", "en"}}, "1.0/Process/startInitialization", "");
  ASSERT_EQ(1u, logic.documents().size());
  EXPECT_EQ("target:/KivraBusinessLogic/1.0/Process/initClient <initClient><store_id>7</store_id><affiliate_id>9"
            "</affiliate_id><search_limit></search_limit><locale>en</locale><providerId></providerId></initClient>",
            logic.documents()[0]);
  // No "eventstopic": the pending event of "all", the oldest; the next waits for the next reply.
  EXPECT_EQ("<Response>" + descriptorXml(0, 7) +
                "<KivraSessionProperties><localeCode>en</localeCode></KivraSessionProperties>"
                "<Event><Type>A</Type></Event></Response>",
            reply);
  EXPECT_EQ(1u, reliable.pendingCount("all"));

  // A topic of its own, and nothing pending there.
  reliable.dispatch("all", Event("<Event><Type>C</Type></Event>", "C"));
  reply = (*initClient)({{"eventstopic", "custom"}}, "1.0/Process/startInitialization", "");
  EXPECT_EQ("<Response>" + descriptorXml(0, 7) +
                "<KivraSessionProperties><localeCode>en</localeCode></KivraSessionProperties></Response>",
            reply);
  EXPECT_EQ(2u, reliable.pendingCount("all"));
}

TEST_F(LocalFunctorsTest, InitClientInJsonAndWithAUITypeOfItsOwn) {
  useDescriptor("json-ui", 2, 11);
  FunctorPtr initClient = make("HCInitClientFunctor");
  logic.script({{"SUCCESS", "{\"response\":{\"localecode\":\"en\"}}"}});
  reliable.dispatch("custom", Event("{\"event\":{\"type\":\"X\"}}", "X"));
  std::string reply = (*initClient)({{"uitype", "json-ui"}, {"eventstopic", "custom"}}, "1.0/Process/startInitialization", "");
  EXPECT_NE(std::string::npos, logic.documents()[0].find("<store_id>11</store_id>"));
  EXPECT_EQ("{\"response\":{\"kivrauidescriptor\":{\"uitype\":\"json-ui\",\"version\":\"3\",\"outputformat\":2,"
            "\"storeid\":11,\"affiliateid\":9,\"supportedlocalecodes\":[],\"supportedfeatures\":[]},"
            "\"event\":{\"type\":\"X\"},\"kivrasessionproperties\":{\"localecode\":\"en\"}}}",
            reply);
  // A reply of another type is empty: no stray comma.
  logic.script({{"OTHER", "x"}});
  reply = (*initClient)({{"uitype", "json-ui"}}, "1.0/Process/startInitialization", "");
  EXPECT_EQ("{\"response\":{\"kivrauidescriptor\":{\"uitype\":\"json-ui\",\"version\":\"3\",\"outputformat\":2,"
            "\"storeid\":11,\"affiliateid\":9,\"supportedlocalecodes\":[],\"supportedfeatures\":[]}}}",
            reply);
}

TEST_F(LocalFunctorsTest, InitClientWritesTheIdsInPlainDecimal) {
  FunctorPtr initClient = make("HCInitClientFunctor");
  struct Case {
    int storeId;
    const char* text;
  };
  const Case cases[] = {{0, "0"}, {-1, "-1"}, {1234567, "1234567"}, {2147483647, "2147483647"},
                        {-2147483647 - 1, "-2147483648"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    useDescriptor(kUIType, 0, c.storeId);
    logic.script({{"SUCCESS", "<Response/>"}});
    (*initClient)({{"storeid", "5"}, {"affiliateid", "6"}}, "1.0/Process/startInitialization", "");
    ASSERT_FALSE(logic.documents().empty());
    EXPECT_NE(std::string::npos, logic.documents().back().find(std::string("<store_id>") + c.text +
                                                               "</store_id><affiliate_id>9</affiliate_id>"))
        << logic.documents().back();
  }
}

TEST_F(LocalFunctorsTest, EveryLocalFunctorNeedsAUIDescriptor) {
  LogCapture log;
  for (const char* name : {"HCInitClientFunctor", "HCAvailabilityFunctor", "HCSetUserPreferenceFunctor"}) {
    FunctorPtr functor = make(name);
    try {
      (*functor)({{"uitype", "no-such-ui"}, {"a", "1"}}, "1.0/Profile/setUserPreference", "");
      ADD_FAILURE() << name << " did not throw";
    } catch (const FunctorException& error) {
      EXPECT_STREQ("Cannot get UX Descriptor.", error.what()) << name;
    }
  }
  EXPECT_TRUE(logic.documents().empty());
  EXPECT_EQ((std::vector<std::string>(3, "ERROR Cannot get UX Descriptor")), log.records());
}

TEST_F(LocalFunctorsTest, AvailabilityListsTheStartupErrorsWithoutTheBusinessLogic) {
  FunctorPtr availability = make("HCAvailabilityFunctor");
  EXPECT_EQ("<Response><StatusData><Errors/></StatusData></Response>",
            (*availability)({}, "1.0/Process/getAvailability", ""));
  startupErrors.append("Error while retrieving default UI information. DEFAULT UITYPE KEY");
  startupErrors.append("Bizl Communication Error");
  EXPECT_EQ("<Response><StatusData><Errors><error>Error while retrieving default UI information. DEFAULT UITYPE KEY"
            "</error><error>Bizl Communication Error</error></Errors></StatusData></Response>",
            (*availability)({}, "1.0/Process/getAvailability", ""));
  useDescriptor("json-ui", 2, 1);
  EXPECT_EQ("{\"response\":{\"statusdata\":{\"errors\":[{\"error\":\"Error while retrieving default UI information. "
            "DEFAULT UITYPE KEY\"},{\"error\":\"Bizl Communication Error\"}]}}}",
            (*availability)({{"uitype", "json-ui"}}, "1.0/Process/getAvailability", ""));
  // The business logic is never asked (it would not answer here).
  EXPECT_TRUE(logic.documents().empty());
}

TEST_F(LocalFunctorsTest, SetUserPreferenceSendsOneRequestPerParameterUntilOneFails) {
  FunctorPtr preference = make("HCSetUserPreferenceFunctor");
  const std::string ok = "<Response><Status><statusMessage>Success</statusMessage></Status></Response>";
  const std::string refused = "<Response><Status><statusMessage>Refused</statusMessage></Status></Response>";
  const std::string target = "target:/KivraBusinessLogic/1.0/Profile/setUserPreference ";
  logic.script({{"SUCCESS", ok}});
  EXPECT_EQ(ok, (*preference)({{"theme", "dark"}, {"lang", "a&b"}, {"sessionId", "s1"}},
                              "1.0/Profile/setUserPreference", ""));
  EXPECT_EQ((std::vector<std::string>{
                target + "<setUserPreference><PrefName>lang</PrefName><PrefValue>a&amp;b</PrefValue></setUserPreference>",
                target + "<setUserPreference><PrefName>sessionId</PrefName><PrefValue>s1</PrefValue></setUserPreference>",
                target + "<setUserPreference><PrefName>theme</PrefName><PrefValue>dark</PrefValue></setUserPreference>"}),
            logic.documents());

  // The first refusal is the answer; the rest is not sent.
  logic.script({{"SUCCESS", refused}, {"SUCCESS", ok}});
  EXPECT_EQ(refused, (*preference)({{"a", "1"}, {"b", "2"}}, "1.0/Profile/setUserPreference", ""));
  EXPECT_EQ(4u, logic.documents().size());

  // In JSON the marker is the JSON one.
  useDescriptor("json-ui", 2, 1);
  const std::string jsonOk = "{\"response\":{\"status\":{\"statusmessage\":\"Success\"}}}";
  logic.script({{"SUCCESS", jsonOk}});
  EXPECT_EQ(jsonOk, (*preference)({{"uitype", "json-ui"}, {"x", "1"}}, "1.0/Profile/setUserPreference", ""));
  EXPECT_EQ(6u, logic.documents().size());

  EXPECT_EQ("", (*preference)({}, "1.0/Profile/setUserPreference", ""));
}

TEST_F(LocalFunctorsTest, SetUserPreferenceFailures) {
  FunctorPtr preference = make("HCSetUserPreferenceFunctor");
  logic.script({{"ERROR", "<Status><statusCode>-4</statusCode></Status>"}});
  try {
    (*preference)({{"a", "1"}, {"b", "2"}}, "1.0/Profile/setUserPreference", "");
    ADD_FAILURE() << "no exception";
  } catch (const ServiceError& error) {
    EXPECT_STREQ("<Status><statusCode>-4</statusCode></Status>", error.what());
  }
  EXPECT_EQ(1u, logic.documents().size());
  try {
    (*preference)({{"a", "1"}}, "1.0/Profile/noSuchService", "");
    ADD_FAILURE() << "no exception";
  } catch (const ServiceError& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("<statusCode>-13</statusCode>"));
    EXPECT_NE(std::string::npos,
              std::string(error.what()).find("Configuration Key (1.0/Profile/noSuchService) not found!"));
  }
  EXPECT_EQ(1u, logic.documents().size());
}

}  // namespace
