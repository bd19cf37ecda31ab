#include "ostrel/plugin/PluginSettings.h"

#include <gtest/gtest.h>

#include "ostrel/services/StartupErrors.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
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

// The engine reads "," and "=" in its document_root value as further roots
// and aliases: a root holding either is refused, not handed on.
TEST_F(PluginSettingsTest, RootsThatTheEngineWouldReadAsSeveralAreRefused) {
  struct Case {
    std::string dataPath, html, download;
    std::string htmlRoot, downloadRoot;  // what is composed
    std::vector<std::string> records;
  } cases[] = {
      {"", "/srv/ui,/x=/etc", "/srv/dl", "", "/srv/dl",
       {"ERROR Ostrel/DocumentRoot is refused: /srv/ui,/x=/etc holds \",\" or \"=\", which the web engine would "
        "read as further folders to serve; no UI file is served"}},
      {"", "/srv/ui=x", "/srv/dl", "", "/srv/dl",
       {"ERROR Ostrel/DocumentRoot is refused: /srv/ui=x holds \",\" or \"=\", which the web engine would read as "
        "further folders to serve; no UI file is served"}},
      {"", "/srv/ui", "/srv/dl,/y=/home", "/srv/ui", "",
       {"ERROR Ostrel/DownloadRoot is refused: /srv/dl,/y=/home holds \",\" or \"=\", which the web engine would "
        "read as further folders to serve; nothing is served under /download"}},
      // The data path in front of a "." root is part of what the engine reads.
      {"/d,/x=/etc/", "./ui", "/srv/dl", "", "/srv/dl",
       {"ERROR Ostrel/DocumentRoot is refused: /d,/x=/etc/./ui holds \",\" or \"=\", which the web engine would "
        "read as further folders to serve; no UI file is served"}},
      {"/d/", "./ui", "./dl", "/d/./ui", "/d/./dl", {}},
  };
  for (const Case& c : cases) {
    configuration->setValue("Ostrel/DocumentRoot", c.html);
    configuration->setValue("Ostrel/DownloadRoot", c.download);
    LogCapture records;
    PluginSettings::Roots roots = PluginSettings::composeRoots(*configuration, c.dataPath);
    EXPECT_EQ(c.htmlRoot, roots.html) << c.html;
    EXPECT_EQ(c.downloadRoot, roots.download) << c.download;
    EXPECT_EQ(c.records, records.records()) << c.html;
    // The engine's value names exactly the two folders, or none for a refused one.
    EXPECT_EQ(c.htmlRoot + ",/download=" + c.downloadRoot, PluginSettings::documentRootOption(roots));
  }
  EXPECT_TRUE(PluginSettings::isOneRoot("/srv/my ui/./x"));
  EXPECT_FALSE(PluginSettings::isOneRoot("/srv/a,b"));
  EXPECT_FALSE(PluginSettings::isOneRoot("/srv/a=b"));
}

// A root that is not there is said once, with the folder, at start.
TEST_F(PluginSettingsTest, AMissingRootIsOneErrorNamingTheFolder) {
  TempDir dir;
  PluginSettings::Roots roots{dir.file("nothere"), dir.path()};
  PluginSettings::reportMissingFolders(roots);
  EXPECT_EQ(std::vector<std::string>{"ERROR Ostrel/DocumentRoot: no folder at " + dir.file("nothere") +
                                     "; no UI file is served"},
            capture.records());
  LogCapture relative;
  PluginSettings::reportMissingFolders({dir.path(), "./dl"});
  EXPECT_EQ(std::vector<std::string>{"ERROR Ostrel/DownloadRoot: no folder at ./dl (not an absolute path); "
                                     "nothing is served under /download"},
            relative.records());
  LogCapture none;
  PluginSettings::reportMissingFolders({dir.path(), ""});
  EXPECT_TRUE(none.records().empty());
}

// A UI type names a folder under the HTML root: one that could name another
// folder is refused as if it had not been read.
TEST_F(PluginSettingsTest, AnUnsafeDefaultUITypeFailsAsAFailedRead) {
  const std::string fixed = "Error while retrieving default UI information. DEFAULT UITYPE KEY";
  for (const char* value : {"../../etc", "desktop/../..", "/etc", ".hidden", "..", "", "a b", "desk\\top"}) {
    configuration->setValue("Ostrel/DefaultUIType", value);
    StartupErrors errors;
    LogCapture records;
    std::string uiType = "before";
    EXPECT_FALSE(PluginSettings::readDefaultUIType(*configuration, uiType, errors)) << value;
    EXPECT_EQ("", uiType) << value;
    EXPECT_EQ(std::vector<std::string>{fixed}, errors.list()) << value;
    const std::vector<std::string> expected = {
        "ERROR " + fixed,
        std::string("ERROR Ostrel/DefaultUIType = '") + value +
            "' is refused: a UI type is one folder name of 1 to 64 letters, digits, \"-\", \"_\" and \".\", not "
            "beginning with \".\"; no UI is served"};
    EXPECT_EQ(expected, records.records()) << value;
  }
  configuration->setValue("Ostrel/DefaultUIType", "desktop-2.0_x");
  std::string uiType;
  EXPECT_TRUE(PluginSettings::readDefaultUIType(*configuration, uiType, startupErrors));
  EXPECT_EQ("desktop-2.0_x", uiType);
  EXPECT_TRUE(startupErrors.list().empty());
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
