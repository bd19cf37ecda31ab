#include "ostrel/services/ServiceTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "ostrel/services/HCServiceProxyConfigNotFoundException.h"
#include "ostrel/services/RequestTemplate.h"

namespace {

class ServiceTableTest : public ::testing::Test {
 protected:
  void SetUp() override { table_.load(); }

  std::string request(const std::string& servicePath, const ParameterMap& parameters) {
    return RequestTemplate(table_.lookup(servicePath).templateText, parameters).result();
  }

  ServiceTable table_;
};

TEST_F(ServiceTableTest, HoldsEveryRowOnceInPathOrder) {
  std::size_t rows = 0;
  while (kServiceRows[rows].servicePath != nullptr) ++rows;
  EXPECT_EQ(rows, 82u);
  EXPECT_EQ(table_.size(), 82u);

  const std::vector<std::string> keys = table_.keys();
  ASSERT_EQ(keys.size(), 82u);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 82u);
  for (const auto& key : keys) {
    EXPECT_EQ(key.rfind("1.0/", 0), 0u) << key;
    EXPECT_EQ(key.find(".svc"), std::string::npos) << key;
  }
}

TEST_F(ServiceTableTest, EveryTemplateIsOneElement) {
  for (const auto& key : table_.keys()) {
    const ServiceConfig& config = table_.lookup(key);
    const std::string& text = config.templateText;
    ASSERT_GT(text.size(), 2u) << key;
    ASSERT_EQ(text.front(), '<') << key;
    const std::string root = text.substr(1, text.find('>') - 1);
    EXPECT_EQ(text.substr(text.size() - root.size() - 3), "</" + root + ">") << key;
    EXPECT_EQ(std::count(text.begin(), text.end(), '{'), std::count(text.begin(), text.end(), '}'))
        << key;
    EXPECT_EQ(config.operationPath.rfind("1.0/", 0), 0u) << key;
  }
}

TEST_F(ServiceTableTest, FunctorClassesCoverTheRows) {
  std::map<std::string, int> perClass;
  for (const auto& key : table_.keys()) ++perClass[table_.lookup(key).functorName];
  EXPECT_EQ(perClass, (std::map<std::string, int>{{"HCServiceProxyFunctor", 76},
                                                   {"HCInitClientFunctor", 1},
                                                   {"HCAvailabilityFunctor", 1},
                                                   {"HCSetUserPreferenceFunctor", 1},
                                                   {"UXUpdateFunctor", 3}}));

  const ServiceConfig& init = table_.lookup("1.0/Process/startInitialization");
  EXPECT_EQ(init.operationPath, "1.0/Process/initClient");
  EXPECT_EQ(init.functorName, "HCInitClientFunctor");
  EXPECT_EQ(init.templateText,
            "<initClient><store_id>{storeid}</store_id><affiliate_id>{affiliateid}</affiliate_id>"
            "<search_limit>{searchlimit}</search_limit><locale>{locale}</locale>"
            "<providerId>{providerid}</providerId></initClient>");

  const ServiceConfig& availability = table_.lookup("1.0/Process/getAvailability");
  EXPECT_EQ(availability.operationPath, "1.0/Process/getAvailability");
  EXPECT_EQ(availability.functorName, "HCAvailabilityFunctor");
  EXPECT_EQ(availability.templateText, "<getAvailability></getAvailability>");

  const ServiceConfig& preference = table_.lookup("1.0/Profile/setUserPreference");
  EXPECT_EQ(preference.functorName, "HCSetUserPreferenceFunctor");
  EXPECT_EQ(preference.templateText,
            "<setUserPreference><PrefName>{prefname}</PrefName><PrefValue>{prefvalue}</PrefValue>"
            "</setUserPreference>");

  for (const char* path : {"1.0/UXUpdate/uxUpdate", "1.0/UXUpdate/getUxVersion", "1.0/UXUpdate/uxWasUpdated"}) {
    EXPECT_EQ(table_.lookup(path).functorName, "UXUpdateFunctor") << path;
    EXPECT_EQ(table_.lookup(path).operationPath, path);
  }
  EXPECT_EQ(table_.lookup("1.0/UXUpdate/uxUpdate").templateText,
            "<uxUpdate><updatePath>{updatePath}</updatePath></uxUpdate>");

  const ServiceConfig& incident = table_.lookup("1.0/Support/reportInicident");
  EXPECT_EQ(incident.operationPath, "1.0/Support/sendContactSupport");
  EXPECT_EQ(incident.functorName, "HCServiceProxyFunctor");
  EXPECT_EQ(incident.templateText,
            "<sendContactSupport><issue_code>{issuecode}</issue_code><text>{text}</text>"
            "<contact_me>{contactme}</contact_me><email>{email}</email>"
            "<err_event_id>{erreventid}</err_event_id></sendContactSupport>");
}

TEST_F(ServiceTableTest, RowsKeepTheirSpelling) {
  EXPECT_EQ(table_.lookup("1.0/Process/removeInnapropiateContentConfirmation").templateText,
            "<killPillConfirmation><application_id>{application_id}</application_id></killPillConfirmation>");
  EXPECT_EQ(table_.lookup("1.0/Social/recomendApplication").operationPath, "1.0/Social/recommendAppToFriends");
  EXPECT_EQ(table_.lookup("1.0/Application/setApplicationReview").templateText,
            "<rateApp><app_guid>{app_guid}</app_guid><review_tittle>{review_tittle}</review_tittle>"
            "<review>{review}</review><rating>{rating}</rating></rateApp>");
  EXPECT_EQ(table_.lookup("1.0/Application/getApplicationEULA").templateText,
            "<getAppEula><AplicationGUID>{applicationid}</AplicationGUID><AplicationVersion>0.0.1"
            "</AplicationVersion><localeCode>{localecode}</localeCode></getAppEula>");
  EXPECT_EQ(table_.lookup("1.0/Process/stopPurchaseApplication").operationPath, "1.0/Process/cancelDownload");
  EXPECT_EQ(table_.lookup("1.0/Agent/getDetailedDeviceProfile").templateText,
            "<getDeviceProfileXml>{deviceProfileXml}</getDeviceProfileXml>");

  int searches = 0;
  for (const auto& key : table_.keys()) {
    if (table_.lookup(key).operationPath == "1.0/Catalog/searchApps") ++searches;
  }
  EXPECT_EQ(searches, 6);
}

TEST_F(ServiceTableTest, ListMarkerRowsPassExtraParameters) {
  const ParameterMap parameters{{"categoryid", "7"}, {"count", "20"}, {"order", "NAME"},
                                {"price", "free"}, {"sessionId", "s1"}, {"start", "0"}};
  EXPECT_EQ(request("1.0/Catalog/getApplicationsByCategory", parameters),
            "<searchApps><criteria><type>BY_CAT</type><typeValue>7</typeValue><order>NAME</order>"
            "<filter></filter><filterValue></filterValue></criteria><start>0</start><count>20</count>"
            "<optionalParameters><parameter><key>price</key><value>free</value></parameter>"
            "<parameter><key>sessionId</key><value>s1</value></parameter></optionalParameters>"
            "<sendAnalytics>1</sendAnalytics></searchApps>");

  const std::string extra = "<parameter><key>price</key><value>free</value></parameter>";
  const std::string mine = request("1.0/Catalog/getMyApplications", parameters);
  EXPECT_NE(mine.find("<type>MY_APPS_BY_CRIT</type><typeValue>0</typeValue>"), std::string::npos);
  EXPECT_NE(mine.find("<optionalParameters><parameter><key>categoryid</key><value>7</value></parameter>" + extra),
            std::string::npos)
      << mine;

  // Here the marker stands before the last placeholder: it still carries the
  // parameters that no placeholder used.
  const std::string related =
      request("1.0/Catalog/getRelatedApplications",
              {{"applicationid", "A1"}, {"localecode", "en-US"}, {"price", "free"}});
  EXPECT_EQ(related,
            "<searchRelatedApps><criteria><type>BY_APP</type><typeValue>A1</typeValue><order></order>"
            "<filter></filter><filterValue></filterValue></criteria><start></start><count></count>"
            "<optionalParameters><parameter><key>price</key><value>free</value></parameter>"
            "</optionalParameters><sendAnalytics>1</sendAnalytics>"
            "<localeCode>en-US</localeCode></searchRelatedApps>");
}

TEST_F(ServiceTableTest, RowsWithoutMarkerDropExtraParameters) {
  const ParameterMap parameters{{"type", "TOP"}, {"text", "chess"}, {"price", "free"}, {"sessionId", "s1"}};
  for (const char* path : {"1.0/Catalog/getApplicationsByCriteria", "1.0/Catalog/getApplicationsByText",
                           "1.0/Catalog/getRecentlyDownloadedApplications", "1.0/Catalog/getAvailableUpdates"}) {
    const std::string document = request(path, parameters);
    EXPECT_EQ(document.find("price"), std::string::npos) << path;
    EXPECT_EQ(document.find("s1"), std::string::npos) << path;
    EXPECT_EQ(document.find("optionalParameters"), std::string::npos) << path;
    EXPECT_EQ(document.rfind("<searchApps><criteria>", 0), 0u) << path;
  }
  EXPECT_EQ(request("1.0/Catalog/getApplicationsByText", parameters),
            "<searchApps><criteria><type>BY_TEXT</type><typeValue>chess</typeValue><order></order>"
            "<filter></filter><filterValue></filterValue></criteria><start></start><count></count>"
            "<sendAnalytics>1</sendAnalytics></searchApps>");
  EXPECT_EQ(request("1.0/Profile/getUserProfile", parameters), "<getUserProfile></getUserProfile>");
}

TEST_F(ServiceTableTest, UnknownPathThrowsWithItsKey) {
  try {
    table_.lookup("1.0/Catalog/getbanners");
    FAIL() << "lookup of an unknown path returned";
  } catch (const HCServiceProxyConfigNotFoundException& e) {
    EXPECT_STREQ(e.what(), "Configuration Key (1.0/Catalog/getbanners) not found!");
    EXPECT_EQ(e.key(), "1.0/Catalog/getbanners");
  }
  EXPECT_THROW(table_.lookup(""), HCServiceProxyConfigNotFoundException);
  EXPECT_THROW(table_.lookup("/1.0/Catalog/getBanners.svc"), HCServiceProxyConfigNotFoundException);
  EXPECT_THROW(ServiceTable().lookup("1.0/Catalog/getBanners"), HCServiceProxyConfigNotFoundException);
}

TEST(ServiceTableLoad, StopsAtTheEndRowAndKeepsTheFirstOfTwoRows) {
  const ServiceRow rows[] = {
      {"b", "op/b", "F", "<b/>"},
      {"a", "op/a1", "F", "<a1/>"},
      {"a", "op/a2", "G", "<a2/>"},
      {nullptr, nullptr, nullptr, nullptr},
      {"c", "op/c", "F", "<c/>"},
  };
  ServiceTable table;
  table.load(rows);
  EXPECT_EQ(table.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(table.lookup("a").operationPath, "op/a1");
  EXPECT_EQ(table.lookup("a").templateText, "<a1/>");
  EXPECT_EQ(table.lookup("a").functorName, "F");

  // Loading twice changes nothing.
  ServiceTable twice;
  twice.load();
  twice.load();
  EXPECT_EQ(twice.size(), 82u);
}

}  // namespace
