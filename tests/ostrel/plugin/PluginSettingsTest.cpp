#include "ostrel/plugin/PluginSettings.h"

#include <gtest/gtest.h>

#include "ostrel/services/StartupErrors.h"
#include "support/LogCapture.h"
#include "tessaro/ConfigurationManager.h"

namespace {

class PluginSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { configuration->clear(); }
  void TearDown() override { configuration->clear(); }
  ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  StartupErrors startupErrors;
  LogCapture capture;
};

TEST_F(PluginSettingsTest, RootCompositionJoinsWithoutNormalising) {
  EXPECT_EQ("html", PluginSettings::composeRoot("/data/", "html"));
  EXPECT_EQ("D:/var/./ui", PluginSettings::composeRoot("D:/var/", "./ui"));
  EXPECT_EQ("D:/var./ui", PluginSettings::composeRoot("D:/var", "./ui"));
  EXPECT_EQ("./ui", PluginSettings::composeRoot("", "./ui"));
  try {
    PluginSettings::composeRoot("/data", "", "Ostrel/DownloadRoot");
    ADD_FAILURE() << "an empty root was composed";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ("Ostrel/DownloadRoot is empty or not set", error.what());
  }
}

TEST_F(PluginSettingsTest, EmptyDownloadRootKeepsTheComposedHtmlRoot) {
  configuration->setValue("Ostrel/DocumentRoot", "./html");
  configuration->setValue("Ostrel/DownloadRoot", "");
  PluginSettings::Roots roots = PluginSettings::composeRoots(*configuration, "/d/");
  EXPECT_EQ("/d/./html", roots.html);
  EXPECT_EQ("", roots.download);
  EXPECT_EQ("/d/./html,/download=", PluginSettings::documentRootOption(roots));
  ASSERT_EQ(1u, capture.records().size());
  EXPECT_EQ(0u, capture.records()[0].find("ERROR Error while trying to compose html and download paths: "));
}

TEST_F(PluginSettingsTest, EmptyDocumentRootLeavesBothRootsEmpty) {
  configuration->setValue("Ostrel/DocumentRoot", "");
  configuration->setValue("Ostrel/DownloadRoot", "./dl");
  PluginSettings::Roots roots = PluginSettings::composeRoots(*configuration, "/d/");
  EXPECT_EQ(",/download=", PluginSettings::documentRootOption(roots));
  ASSERT_EQ(1u, capture.records().size());
}

TEST_F(PluginSettingsTest, MissingRootsLogTheirOwnTexts) {
  configuration->setValue("Ostrel/DocumentRoot", "/ui");
  PluginSettings::composeRoots(*configuration, "");
  std::vector<std::string> records = capture.records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("ERROR Error while trying to retrieve information from Configuration Manager. DOWNLOAD ROOT ENTRY",
            records[0]);
  EXPECT_EQ(0u, records[1].find("ERROR Error while trying to compose html and download paths: "));
}

TEST_F(PluginSettingsTest, FlagsCountOnlyTheirExactWord) {
  for (const char* value : {"TRUE", "1", "yes", "True"}) {
    configuration->setValue("Ostrel/KeepAlive", value);
    EXPECT_FALSE(PluginSettings::readKeepAlive(*configuration)) << value;
  }
  configuration->setValue("Ostrel/KeepAlive", "true");
  EXPECT_TRUE(PluginSettings::readKeepAlive(*configuration));
  configuration->setValue("Ostrel/ReferrerCheck", "False");
  EXPECT_TRUE(PluginSettings::readReferrerCheck(*configuration));
  configuration->setValue("Ostrel/ReferrerCheck", "false");
  EXPECT_FALSE(PluginSettings::readReferrerCheck(*configuration));
  // Every word but the two is said to be taken as the fallback.
  std::vector<std::string> records = capture.records();
  ASSERT_EQ(5u, records.size());
  EXPECT_EQ("WARNING Ostrel/KeepAlive is 'yes'; only true or false is understood: keep-alive is off", records[2]);
  EXPECT_EQ("WARNING Ostrel/ReferrerCheck is 'False'; only true or false is understood: the Referer is checked",
            records[4]);
}

TEST_F(PluginSettingsTest, FailedReadsLogAndFallBack) {
  std::string uiType;
  EXPECT_FALSE(PluginSettings::readKeepAlive(*configuration));
  EXPECT_EQ("", PluginSettings::readDataPath(*configuration));
  EXPECT_FALSE(PluginSettings::readDefaultUIType(*configuration, uiType, startupErrors));
  EXPECT_TRUE(PluginSettings::readReferrerCheck(*configuration));
  std::vector<std::string> expected = {
      "WARNING Error while trying to retrieve information for KEEP_ALIVE_KEY.",
      "INFO Ostrel/KeepAlive is not set: keep-alive is off",
      "ERROR Error while trying to retrieve information from  Configuration Service. DATA_PATH",
      "INFO Directories/VarPath is not set: roots beginning with \".\" stay relative",
      "ERROR Error while retrieving default UI information. DEFAULT UITYPE KEY",
      "INFO Ostrel/DefaultUIType is not set: no UI is served",
      "ERROR Error while trying to retrieve information from Configuration Manager.",
      "INFO Ostrel/ReferrerCheck is not set: the Referer is checked",
  };
  EXPECT_EQ(expected, capture.records());
  EXPECT_EQ(std::vector<std::string>{"Error while retrieving default UI information. DEFAULT UITYPE KEY"},
            startupErrors.list());
}

}  // namespace
