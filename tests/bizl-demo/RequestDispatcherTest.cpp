// The dispatcher on the bundled data, with the events it would publish recorded.

#include "bizl-demo/RequestDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "bizl-demo/BizlDemoComponent.h"
#include "bizl-demo/FileReplyStore.h"
#include "support/TempDir.h"
#include "tessaro/XMLTool.h"

using bizl::DemoEvent;
using bizl::Reply;

namespace {

class RecordingPublisher : public bizl::EventPublisher {
 public:
  void schedule(const std::string& key, const std::vector<DemoEvent>& events) override {
    for (const DemoEvent& event : events) scheduled.emplace_back(key, event);
  }
  size_t cancel(const std::string& key) override {
    size_t before = scheduled.size();
    scheduled.erase(std::remove_if(scheduled.begin(), scheduled.end(),
                                   [&](const std::pair<std::string, DemoEvent>& s) { return s.first == key; }),
                    scheduled.end());
    return before - scheduled.size();
  }
  std::vector<std::pair<std::string, DemoEvent>> scheduled;
};

class RequestDispatcherTest : public ::testing::Test {
 protected:
  RequestDispatcherTest()
      : publisher(std::make_shared<RecordingPublisher>()),
        dispatcher(std::make_shared<bizl::FileReplyStore>(bizl::BizlDemoComponent::bundledDataRoot()), publisher) {}

  static std::string value(const Reply& reply, const std::string& path) {
    try {
      return bootStrapCreate(reply.text, 0)->getValue(path);
    } catch (const std::exception& error) {
      return std::string("<unreadable: ") + error.what() + "> " + reply.text;
    }
  }

 public:
  static std::string search(const std::string& type, const std::string& value, const std::string& start = "",
                            const std::string& count = "") {
    return "<searchApps><criteria><type>" + type + "</type><typeValue>" + value + "</typeValue></criteria><start>" +
           start + "</start><count>" + count + "</count></searchApps>";
  }
 protected:
  std::vector<std::string> ids(const std::string& document) {
    Reply reply = dispatcher.handle("1.0/Catalog/searchApps", document);
    std::vector<std::string> result;
    if (reply.type != "SUCCESS") return {reply.type + " " + reply.text};
    IXMLToolPtr tool = bootStrapCreate(reply.text, 0);
    int count = tool->countElements("Response\\Applications\\Application");
    for (int i = 0; i < count; ++i)
      result.push_back(tool->getValue("Response\\Applications\\Application[" + std::to_string(i) + "]\\Id"));
    return result;
  }

  std::shared_ptr<RecordingPublisher> publisher;
  bizl::RequestDispatcher dispatcher;
};

using Ids = std::vector<std::string>;

}  // namespace

TEST_F(RequestDispatcherTest, SearchesByCategoryTextCriteriaAndRelation) {
  EXPECT_EQ((Ids{"app-1005", "app-1006"}), ids(search("BY_CAT", "3")));
  EXPECT_EQ(8u, ids(search("BY_CAT", "")).size());
  EXPECT_EQ((Ids{"app-1002", "app-1003", "app-1004"}), ids(search("BY_CAT", "0", "1", "3")));
  EXPECT_EQ((Ids{"app-1001"}), ids(search("BY_TEXT", "NOTES")));  // case does not matter
  Ids topRated = ids(search("BY_CRIT", "TOP_RATED"));
  ASSERT_EQ(8u, topRated.size());
  EXPECT_EQ((Ids{"app-1003", "app-1007", "app-1001"}), Ids(topRated.begin(), topRated.begin() + 3));
  EXPECT_EQ((Ids{"app-1001", "app-1004", "app-1006", "app-1007"}), ids(search("BY_CRIT", "FREE")));
  Reply related = dispatcher.handle("1.0/Catalog/searchRelatedApps",
                                    "<searchRelatedApps><criteria><type>BY_APP</type><typeValue>app-1003</typeValue>"
                                    "</criteria></searchRelatedApps>");
  EXPECT_EQ("app-1004", value(related, "Response\\Applications\\Application\\Id"));
  EXPECT_EQ("1", value(related, "Response\\TotalCount"));

  Reply total = dispatcher.handle("1.0/Catalog/searchApps", search("BY_CAT", "", "6", "10"));
  EXPECT_EQ("8", value(total, "Response\\TotalCount"));
  EXPECT_EQ(2, bootStrapCreate(total.text, 0)->countElements("Response\\Applications\\Application"));
}

TEST_F(RequestDispatcherTest, RefusesBadSearchParameters) {
  Reply badStart = dispatcher.handle("1.0/Catalog/searchApps", search("BY_CAT", "1", "-1"));
  EXPECT_EQ("ERROR", badStart.type);
  EXPECT_EQ("Invalid parameter value: start", value(badStart, "Status\\statusMessage"));
  Reply badType = dispatcher.handle("1.0/Catalog/searchApps", search("BY_MOOD", "1"));
  EXPECT_EQ("ERROR", badType.type);
  EXPECT_EQ("3", value(badType, "Status\\statusCode"));
  Reply huge = dispatcher.handle("1.0/Catalog/searchApps", search("BY_CAT", "1", "0", "99999999999999999999"));
  EXPECT_EQ("Invalid parameter value: count", value(huge, "Status\\statusMessage"));
}

TEST_F(RequestDispatcherTest, MyApplicationsFollowPurchasesAndUninstalls) {
  EXPECT_EQ((Ids{"app-1001", "app-1004", "app-1007"}), ids(search("MY_APPS_BY_CRIT", "0")));
  EXPECT_EQ((Ids{"app-1001", "app-1007"}), ids(search("MY_APPS_BY_CRIT", "2")));
  EXPECT_EQ(Ids{}, ids(search("MY_APPS_BY_CRIT", "1")));

  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Process/purchaseApplication",
                                         "<purchaseApplication><application_id>app-1002</application_id></purchaseApplication>")
                           .type);
  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Process/uninstallApplication",
                                         "<uninstallApplication><application_id>app-1004</application_id></uninstallApplication>")
                           .type);
  EXPECT_EQ((Ids{"app-1001", "app-1002", "app-1007"}), ids(search("MY_APPS_BY_CRIT", "0")));
  EXPECT_EQ((Ids{"app-1002"}), ids(search("MY_APPS_BY_CRIT", "1")));

  Reply summary = dispatcher.handle("1.0/Application/getAppsByStateSummary", "<getAppsByStateSummary></getAppsByStateSummary>");
  EXPECT_EQ("3", value(summary, "Response\\Summary\\Installed"));
  EXPECT_EQ("2", value(summary, "Response\\Summary\\UpdatesAvailable"));
}

TEST_F(RequestDispatcherTest, DetailsFollowDownloadsCancelsAndUninstalls) {
  auto details = [this](const std::string& id) {
    return dispatcher.handle("1.0/Application/getAppDetails", "<getAppDetails><AplicationGUID>" + id + "</AplicationGUID></getAppDetails>");
  };
  auto request = [this](const std::string& operation, const std::string& root, const std::string& id) {
    return dispatcher.handle(operation, "<" + root + "><application_id>" + id + "</application_id></" + root + ">").type;
  };
  EXPECT_EQ("0", value(details("app-1002"), "Response\\Application\\Installed"));
  ASSERT_EQ("SUCCESS", request("1.0/Process/purchaseApplication", "purchaseApplication", "app-1002"));
  EXPECT_EQ("1", value(details("app-1002"), "Response\\Application\\Installed"));
  EXPECT_EQ("purchase/app-1002", publisher->scheduled.front().first);

  // A purchase cancelled while it downloads installs nothing.
  ASSERT_EQ("SUCCESS", request("1.0/Process/cancelDownload", "cancelPurchaseApplication", "app-1002"));
  ASSERT_EQ(1u, publisher->scheduled.size());
  EXPECT_NE(std::string::npos, publisher->scheduled[0].second.text.find("<Type>DownloadCancelled</Type>"));
  EXPECT_EQ("0", value(details("app-1002"), "Response\\Application\\Installed"));
  EXPECT_EQ((Ids{"app-1001", "app-1004", "app-1007"}), ids(search("MY_APPS_BY_CRIT", "0")));

  // An update takes the application off the updates; a cancelled one puts it back.
  ASSERT_EQ("SUCCESS", request("1.0/Process/updateApplication", "updateApplication", "app-1007"));
  EXPECT_EQ((Ids{"app-1001"}), ids(search("MY_APPS_BY_CRIT", "2")));
  EXPECT_EQ("0", value(details("app-1007"), "Response\\Application\\UpdateAvailable"));
  ASSERT_EQ("SUCCESS", request("1.0/Process/cancelDownload", "cancelPurchaseApplication", "app-1007"));
  EXPECT_EQ((Ids{"app-1001", "app-1007"}), ids(search("MY_APPS_BY_CRIT", "2")));
  EXPECT_EQ("1", value(details("app-1007"), "Response\\Application\\Installed"));

  ASSERT_EQ("SUCCESS", request("1.0/Process/uninstallApplication", "uninstallApplication", "app-1001"));
  EXPECT_EQ("0", value(details("app-1001"), "Response\\Application\\Installed"));
  EXPECT_EQ((Ids{"app-1004", "app-1007"}), ids(search("MY_APPS_BY_CRIT", "0")));
}

TEST_F(RequestDispatcherTest, TheReplyOfTheLocaleWins) {
  auto firstCategory = [this](const std::string& request) {
    return value(dispatcher.handle("1.0/Catalog/getCategoryTree", request), "Response\\Categories\\Category[0]\\Name");
  };
  EXPECT_EQ("Productivity", firstCategory("<getCategoryTree><localeCode>en-US</localeCode></getCategoryTree>"));
  EXPECT_EQ("Produktivität", firstCategory("<getCategoryTree><localeCode>de-DE</localeCode></getCategoryTree>"));
  EXPECT_EQ("Productivity", firstCategory("<getCategoryTree><localeCode>../x</localeCode></getCategoryTree>"));
  // Without a locale in the request, the session's counts.
  EXPECT_EQ("Productivity", firstCategory("<getCategoryTree></getCategoryTree>"));
  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Agent/setLocaleCode", "<setLocaleCode><localeCode>de-DE</localeCode></setLocaleCode>").type);
  EXPECT_EQ("Produktivität", firstCategory("<getCategoryTree></getCategoryTree>"));
  EXPECT_EQ("Frühlingsangebot",
            value(dispatcher.handle("1.0/Catalog/getBanners", "<getBanners></getBanners>"), "Response\\Banners\\Banner[0]\\Title"));
}

TEST_F(RequestDispatcherTest, SignInGatesTheProfile) {
  Reply anonymous = dispatcher.handle("1.0/Profile/getUserProfile", "<getUserProfile></getUserProfile>");
  EXPECT_EQ("ERROR", anonymous.type);
  EXPECT_EQ("Not signed in", value(anonymous, "Status\\statusMessage"));
  Reply session = dispatcher.handle("1.0/Process/initClient", "<initClient><locale>de-DE</locale></initClient>");
  EXPECT_EQ("0", value(session, "Response\\identified"));
  EXPECT_EQ("de-DE", value(session, "Response\\localeCode"));

  // The address is compared without regard to case; the password exactly.
  EXPECT_EQ("ERROR", dispatcher.handle("1.0/Profile/login", "<login><Mail>Kim@Kivra.test</Mail><Password>Stars</Password></login>").type);
  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Profile/login", "<login><Mail>Kim@Kivra.test</Mail><Password>stars</Password></login>").type);
  EXPECT_EQ("kim@kivra.test", dispatcher.state().signedInMail());
  Reply profile = dispatcher.handle("1.0/Profile/getUserProfile", "<getUserProfile></getUserProfile>");
  EXPECT_EQ("Lund", value(profile, "Response\\Profile\\LastName"));
  session = dispatcher.handle("1.0/Process/initClient", "<initClient></initClient>");
  EXPECT_EQ("1", value(session, "Response\\identified"));
  EXPECT_EQ("Kim Lund", value(session, "Response\\userName"));
  EXPECT_EQ("en-US", value(session, "Response\\localeCode"));

  // A wrong login keeps the account that is signed in.
  EXPECT_EQ("ERROR", dispatcher.handle("1.0/Profile/login", "<login><Mail>demo@kivra.test</Mail><Password>x</Password></login>").type);
  EXPECT_EQ("kim@kivra.test", dispatcher.state().signedInMail());
  EXPECT_EQ("ERROR", dispatcher.handle("1.0/Profile/changePassword",
                                       "<changePassword><OldPassword>x</OldPassword><NewPassword>y</NewPassword></changePassword>").type);
  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Profile/logout", "<logout></logout>").type);
  EXPECT_EQ("ERROR", dispatcher.handle("1.0/Profile/getTransactionHistory", "<getTransactionHistory></getTransactionHistory>").type);
}

TEST_F(RequestDispatcherTest, PreferencesAndLocaleAreRemembered) {
  for (const char* request : {"<setUserPreference><PrefName>Theme</PrefName><PrefValue>dark</PrefValue></setUserPreference>",
                              "<setUserPreference><PrefName>Sound</PrefName><PrefValue>off</PrefValue></setUserPreference>",
                              "<setUserPreference><PrefName>Theme</PrefName><PrefValue>light &amp; calm</PrefValue></setUserPreference>"}) {
    Reply reply = dispatcher.handle("1.0/Profile/setUserPreference", request);
    ASSERT_EQ("SUCCESS", reply.type);
    // Ostrel's preference service looks for exactly this marker.
    EXPECT_NE(std::string::npos, reply.text.find("<statusMessage>Success"));
  }
  Reply refused = dispatcher.handle("1.0/Profile/setUserPreference", "<setUserPreference><PrefName></PrefName></setUserPreference>");
  EXPECT_EQ("Missing mandatory parameter: PrefName", value(refused, "Status\\statusMessage"));

  Reply preferences = dispatcher.handle("1.0/Profile/getUserPreferences", "<getUserPreferences></getUserPreferences>");
  EXPECT_EQ("Theme", value(preferences, "Response\\Preferences\\Preference[0]\\Name"));
  EXPECT_EQ("light & calm", value(preferences, "Response\\Preferences\\Preference[0]\\Value"));
  EXPECT_EQ("off", value(preferences, "Response\\Preferences\\Preference[1]\\Value"));

  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Agent/setLocaleCode", "<setLocaleCode><localeCode>sv-SE</localeCode></setLocaleCode>").type);
  EXPECT_EQ("sv-SE", value(dispatcher.handle("1.0/Agent/getLocaleCode", "<getLocaleCode></getLocaleCode>"), "Response\\LocaleCode"));
}

TEST_F(RequestDispatcherTest, PreferencesStopAtTheirLimitButKeepTakingNewValues) {
  auto set = [&](const std::string& name, const std::string& value) {
    return dispatcher.handle("1.0/Profile/setUserPreference", "<setUserPreference><PrefName>" + name +
                                                                  "</PrefName><PrefValue>" + value +
                                                                  "</PrefValue></setUserPreference>");
  };
  for (size_t i = 0; i < bizl::SessionState::kMaxPreferences; i++) ASSERT_EQ("SUCCESS", set("p" + std::to_string(i), "x").type);
  Reply refused = set("one-more", "x");
  EXPECT_EQ("ERROR", refused.type);
  EXPECT_EQ("Too many preferences: one-more", value(refused, "Status\\statusMessage"));
  EXPECT_EQ("SUCCESS", set("p7", "changed").type);
  Reply preferences = dispatcher.handle("1.0/Profile/getUserPreferences", "<getUserPreferences></getUserPreferences>");
  EXPECT_EQ("changed", value(preferences, "Response\\Preferences\\Preference[7]\\Value"));
}

TEST_F(RequestDispatcherTest, RequestValuesAreEscapedAndRecordsNeedValidIds) {
  Reply details = dispatcher.handle("1.0/Application/getAppDetails",
                                    "<getAppDetails><AplicationGUID>app-1005</AplicationGUID>"
                                    "<localeCode>&lt;b&gt;&amp;</localeCode></getAppDetails>");
  ASSERT_EQ("SUCCESS", details.type);
  EXPECT_NE(std::string::npos, details.text.find("<LocaleCode>&lt;b&gt;&amp;</LocaleCode>"));
  EXPECT_NE(std::string::npos, details.text.find("<CategoryName>Photo &amp; Video</CategoryName>"));

  for (const char* id : {"../users", "app-1005/../app-1001", "app 1005", ""}) {
    Reply reply = dispatcher.handle("1.0/Application/getAppReviews",
                                    std::string("<getAppReviews><AplicationGUID>") + id + "</AplicationGUID></getAppReviews>");
    EXPECT_EQ("ERROR", reply.type) << id;
    EXPECT_EQ(*id ? "4" : "2", value(reply, "Status\\statusCode")) << id;
  }
  Reply noElement = dispatcher.handle("1.0/Application/getAppEula", "<getAppEula></getAppEula>");
  EXPECT_EQ("Missing mandatory parameter: application id", value(noElement, "Status\\statusMessage"));
  Reply badRating = dispatcher.handle("1.0/Application/rateApp",
                                      "<rateApp><app_guid>app-1001</app_guid><rating>6</rating></rateApp>");
  EXPECT_EQ("Invalid parameter value: rating", value(badRating, "Status\\statusMessage"));
}

TEST_F(RequestDispatcherTest, MalformedRequestsAndUnknownOperations) {
  Reply malformed = dispatcher.handle("1.0/Catalog/getBanners", "<getBanners>");
  EXPECT_EQ("ERROR", malformed.type);
  EXPECT_EQ("1", value(malformed, "Status\\statusCode"));
  EXPECT_EQ("ERROR", dispatcher.handle("1.0/Catalog/getBanners", "").type);
  EXPECT_EQ("ERROR", dispatcher.handle("1.0/Catalog/getBanners", "<a></a><b></b>").type);

  for (const char* operation : {"1.0/Catalog/nothingHere", "../users", "1.0/../../etc/passwd", ""}) {
    Reply reply = dispatcher.handle(operation, "<x></x>");
    EXPECT_EQ("CRITICAL", reply.type) << operation;
    EXPECT_EQ("100", value(reply, "Status\\statusCode")) << operation;
  }
}

TEST_F(RequestDispatcherTest, OutputFormatIsCheckedAndApplied) {
  Reply bad = dispatcher.handle("1.0/Internal/setOutputFormat", "<setOutputFormat><OutputFormat>7</OutputFormat></setOutputFormat>");
  EXPECT_EQ("Unsupported output format: 7", value(bad, "Status\\statusMessage"));
  EXPECT_EQ("ERROR", dispatcher.handle("1.0/Internal/setOutputFormat", "<setOutputFormat></setOutputFormat>").type);
  EXPECT_EQ(0, dispatcher.state().outputFormat());

  Reply json = dispatcher.handle("1.0/Internal/setOutputFormat", "<setOutputFormat><OutputFormat>2</OutputFormat></setOutputFormat>");
  EXPECT_EQ(2, dispatcher.state().outputFormat());
  // Members come before nested elements, as in Ostrel's conversion.
  EXPECT_EQ("{\"response\":{\"outputformat\":\"2\",\"status\":{\"version\":\"1.0\",\"statuscode\":\"0\","
            "\"statusmessage\":\"Success\"}}}",
            json.text);
  // A single result is an object, several are an array: the UI reads both.
  Reply one = dispatcher.handle("1.0/Catalog/searchApps", search("BY_TEXT", "Notely"));
  EXPECT_NE(std::string::npos, one.text.find("\"applications\":{\"application\":{\"id\":\"app-1001\"")) << one.text;
  Reply none = dispatcher.handle("1.0/Catalog/searchApps", search("BY_TEXT", "zzz"));
  EXPECT_NE(std::string::npos, none.text.find("\"applications\":{}")) << none.text;

  Reply xml = dispatcher.handle("1.0/Internal/setOutputFormat", "<setOutputFormat><OutputFormat>0</OutputFormat></setOutputFormat>");
  EXPECT_EQ("0", value(xml, "Response\\OutputFormat"));
}

TEST_F(RequestDispatcherTest, EventsFollowFromPurchasesAndLinks) {
  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Process/updateApplication",
                                         "<updateApplication><correlation_id>u1</correlation_id><application_id>app-1007</application_id>"
                                         "</updateApplication>").type);
  ASSERT_EQ(5u, publisher->scheduled.size());
  EXPECT_EQ("update/app-1007", publisher->scheduled[0].first);
  EXPECT_EQ("event:/KivraServices/KivraBusinessLogic/v1_0/updateApplication/app-1007", publisher->scheduled[0].second.topic);

  // Cancelling drops what is still waiting and tells the UI.
  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Process/cancelDownload",
                                         "<cancelPurchaseApplication><application_id>app-1007</application_id></cancelPurchaseApplication>").type);
  ASSERT_EQ(1u, publisher->scheduled.size());
  EXPECT_EQ("event:/KivraServices/KivraBusinessLogic/v1_0/cancelDownload/app-1007", publisher->scheduled[0].second.topic);
  EXPECT_NE(std::string::npos, publisher->scheduled[0].second.text.find("<Type>DownloadCancelled</Type>"));
  // Nothing to cancel: no event.
  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Process/cancelDownload",
                                         "<cancelPurchaseApplication><application_id>app-1001</application_id></cancelPurchaseApplication>").type);
  EXPECT_EQ(1u, publisher->scheduled.size());

  publisher->scheduled.clear();
  Reply badItem = dispatcher.handle("1.0/Process/inAppPurchase",
                                    "<inAppPurchase><applicationid>app-1004</applicationid><applicationitemid>a/b</applicationitemid></inAppPurchase>");
  EXPECT_EQ("Invalid parameter value: applicationitemid", value(badItem, "Status\\statusMessage"));
  EXPECT_TRUE(publisher->scheduled.empty());

  ASSERT_EQ("SUCCESS", dispatcher.handle("1.0/Environment/quickWebLink",
                                         "<quickWebLink><appGUID>app-1002</appGUID><categoryId>9</categoryId></quickWebLink>").type);
  ASSERT_EQ(1u, publisher->scheduled.size());
  IXMLToolPtr link = bootStrapCreate(publisher->scheduled[0].second.text, 0);
  EXPECT_EQ("9", link->getValue("Event\\Message\\categoryId"));
  EXPECT_EQ("en-US", link->getValue("Event\\Message\\localeCode"));
}

TEST_F(RequestDispatcherTest, TheBootstrapPublishesTheWebLinksSavedAtTheLastStopAgain) {
  TempDir var;
  // As Ostrel saves them, in either events format.
  const std::string saved = var.write(
      "bootstrap/ostrel_events.xml",
      "<Process type=\"HyperlinkingProcesses\">\r\n"
      "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n<AppGUID>app-1002</AppGUID>\r\n"
      "<DisplayLocale>de-DE</DisplayLocale>\r\n<ReferalId>0</ReferalId>\r\n</HyperlinkingMessage>\r\n"
      "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n<AppGUID>app-1003</AppGUID>\r\n"
      "<DisplayLocale>fr-FR</DisplayLocale>\r\n<ReferalId>0</ReferalId>\r\n</HyperlinkingMessage>\r\n"
      "</Process>\r\n");
  bizl::RequestDispatcher restarted(std::make_shared<bizl::FileReplyStore>(bizl::BizlDemoComponent::bundledDataRoot()),
                                    publisher, saved);
  ASSERT_EQ("SUCCESS", restarted.handle("1.0/Internal/startBootstrap", "<startBootstrap></startBootstrap>").type);
  ASSERT_EQ(2u, publisher->scheduled.size());
  const DemoEvent& first = publisher->scheduled[0].second;
  EXPECT_EQ(std::string(bizl::RequestDispatcher::kReliableTopicPrefix) + "all/app-1002", first.topic);
  EXPECT_EQ("de-DE", bootStrapCreate(first.text, 0)->getValue("Event\\Message\\localeCode"));
  EXPECT_EQ("fr-FR", bootStrapCreate(publisher->scheduled[1].second.text, 0)->getValue("Event\\Message\\localeCode"));
  // Published once: the file is gone, a second bootstrap publishes nothing.
  EXPECT_EQ("", TempDir::read(saved));
  restarted.handle("1.0/Internal/startBootstrap", "<startBootstrap></startBootstrap>");
  EXPECT_EQ(2u, publisher->scheduled.size());
}

// A value far longer than any locale code once overflowed the stack of the thread
// that read the saved links.
TEST_F(RequestDispatcherTest, LongSavedWebLinksAreRepublishedWithoutHarm) {
  TempDir var;
  const std::string longLocale(200000, 'x');
  const std::string saved = var.write("bootstrap/ostrel_events.xml",
                                      "<Process><HyperlinkingMessage><AppGUID>app-1002</AppGUID>\n<DisplayLocale>" +
                                          longLocale + "</DisplayLocale></HyperlinkingMessage>"
                                          "<HyperlinkingMessage><AppGUID>app-1003</AppGUID><Broken>" + longLocale +
                                          "</Broken></HyperlinkingMessage>"
                                          "<HyperlinkingMessage><AppGUID>app-1004</AppGUID> <DisplayLocale>sv-SE"
                                          "</DisplayLocale></HyperlinkingMessage></Process>");
  bizl::RequestDispatcher restarted(std::make_shared<bizl::FileReplyStore>(bizl::BizlDemoComponent::bundledDataRoot()),
                                    publisher, saved);
  ASSERT_EQ("SUCCESS", restarted.handle("1.0/Internal/startBootstrap", "<startBootstrap></startBootstrap>").type);
  ASSERT_EQ(2u, publisher->scheduled.size());
  EXPECT_EQ(std::string(bizl::RequestDispatcher::kReliableTopicPrefix) + "all/app-1002", publisher->scheduled[0].second.topic);
  EXPECT_EQ(longLocale, bootStrapCreate(publisher->scheduled[0].second.text, 0)->getValue("Event\\Message\\localeCode"));
  EXPECT_EQ(std::string(bizl::RequestDispatcher::kReliableTopicPrefix) + "all/app-1004", publisher->scheduled[1].second.topic);
}

TEST_F(RequestDispatcherTest, BrokenDataIsCritical) {
  TempDir data;
  data.write("replies/1.0/Application/getAppDetails.xml", "<Response>{app.Name}</Response>");
  data.write("apps/app-1.xml", "<App><Name>unclosed</App>");
  data.write("replies/1.0/Catalog/searchApps.xml", "<Response>{list:apps}</Response>");
  bizl::RequestDispatcher broken(std::make_shared<bizl::FileReplyStore>(data.path()), publisher);
  Reply reply = broken.handle("1.0/Application/getAppDetails", "<getAppDetails><AplicationGUID>app-1</AplicationGUID></getAppDetails>");
  EXPECT_EQ("CRITICAL", reply.type);
  EXPECT_EQ("101", value(reply, "Status\\statusCode"));
  reply = broken.handle("1.0/Catalog/searchApps", search("BY_CAT", ""));
  EXPECT_EQ("CRITICAL", reply.type);
  EXPECT_NE(std::string::npos, value(reply, "Status\\statusMessage").find("apps/app-1.xml"));
}

namespace {

// Records what would be published, from any thread, and counts calls that came
// while another was still inside: state-changing requests must run one at a time.
class SerialCheckingPublisher : public bizl::EventPublisher {
 public:
  void schedule(const std::string& key, const std::vector<DemoEvent>& events) override {
    Inside inside(*this);
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[key] += events.size();
  }
  size_t cancel(const std::string& key) override {
    Inside inside(*this);
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t dropped = pending_[key];
    pending_[key] = 0;
    return dropped;
  }
  size_t pending(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_[key];
  }
  int overlaps() const { return overlaps_; }

 private:
  struct Inside {
    explicit Inside(SerialCheckingPublisher& publisher) : publisher_(publisher) {
      if (++publisher_.inside_ > 1) ++publisher_.overlaps_;
      for (int i = 0; i < 20; ++i) std::this_thread::yield();  // a wider window for another caller
    }
    ~Inside() { --publisher_.inside_; }
    SerialCheckingPublisher& publisher_;
  };

  std::atomic<int> inside_{0};
  std::atomic<int> overlaps_{0};
  std::mutex mutex_;  // guards pending_
  std::map<std::string, size_t> pending_;
};

}  // namespace

// Purchases, updates and cancels of the same applications from several threads,
// with searches beside them: the changes run alone, and at the end each
// application's state agrees with the downloads still waiting.
TEST(RequestDispatcherConcurrencyTest, ChangesRunAloneAndLeaveAConsistentState) {
  auto publisher = std::make_shared<SerialCheckingPublisher>();
  bizl::RequestDispatcher dispatcher(std::make_shared<bizl::FileReplyStore>(bizl::BizlDemoComponent::bundledDataRoot()),
                                     publisher);
  auto request = [&](const std::string& operation, const std::string& id) {
    const std::string root = operation.substr(operation.rfind('/') + 1);
    return dispatcher.handle(operation, "<" + root + "><application_id>" + id + "</application_id></" + root + ">");
  };
  const char* const operations[] = {"1.0/Process/purchaseApplication", "1.0/Process/cancelDownload",
                                    "1.0/Process/updateApplication"};
  const char* const apps[] = {"app-1002", "app-1003", "app-1007"};  // two not installed, one with an update
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i)
        if (request(operations[(t + i) % 3], apps[(t * 7 + i) % 3]).type != "SUCCESS") ++failures;
    });
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 150; ++i) {
        Reply mine = dispatcher.handle("1.0/Catalog/searchApps", RequestDispatcherTest::search("MY_APPS_BY_CRIT", "0"));
        IXMLToolPtr tool = bootStrapCreate(mine.text, 0);
        if (mine.type != "SUCCESS" ||
            std::to_string(tool->countElements("Response\\Applications\\Application")) != tool->getValue("Response\\TotalCount"))
          ++failures;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, publisher->overlaps());

  for (const char* id : apps) {
    Reply details = dispatcher.handle("1.0/Application/getAppDetails",
                                      std::string("<getAppDetails><AplicationGUID>") + id + "</AplicationGUID></getAppDetails>");
    IXMLToolPtr tool = bootStrapCreate(details.text, 0);
    const bool bought = publisher->pending(std::string("purchase/") + id) > 0;
    const bool updating = publisher->pending(std::string("update/") + id) > 0;
    const bool installedBefore = std::string(id) == "app-1007";
    EXPECT_EQ(bought || installedBefore ? "1" : "0", tool->getValue("Response\\Application\\Installed")) << id;
    if (installedBefore) {
      EXPECT_EQ(updating ? "0" : "1", tool->getValue("Response\\Application\\UpdateAvailable")) << id;
    }
  }
}
