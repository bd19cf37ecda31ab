// The start and stop sequences with the host stand-in: a business logic that
// records what it is sent, the configuration filled in memory.

#include <dirent.h>
#include <gtest/gtest.h>

#include "ostrel/plugin/OstrelPlugin.h"
#include "ostrel/services/StartupErrors.h"
#include "ostrel/channels/ReliableHCListener.h"
#include "support/BusinessLogicDouble.h"
#include "support/HttpExchange.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tessaro/ConfigurationManager.h"

namespace {

// "TYPE TARGET TEXT" of every request the business logic got.
std::vector<std::string> messages(const BusinessLogicDouble& logic) {
  std::vector<std::string> result;
  for (const BusinessLogicDouble::Request& r : logic.requests()) result.push_back(r.type + " " + r.target + " " + r.text);
  return result;
}

size_t entries(const char* folder) {
  size_t count = 0;
  if (DIR* dir = opendir(folder)) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

class StartSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TESSARO_REGISTRY_ROOT", dir.file("registry").c_str(), 1);
    configuration->clear();
    dir.write("html/desktop/UXManifest.xml",
              "<KivraUIDescriptor><UIType>desktop</UIType><Version>1</Version><OutputFormat>2</OutputFormat>"
              "<StoreID>1</StoreID><AffiliateID>2</AffiliateID><SupportedLocaleCodes/><SupportedFeatures/>"
              "</KivraUIDescriptor>");
    dir.write("html/index.html", "home");
    dir.write("dl/app.bin", "app");
    logic.answer("SUCCESS", std::nullopt);
  }
  void TearDown() override {
    plugin.stop();
    configuration->clear();
    unsetenv("TESSARO_REGISTRY_ROOT");
  }

  void configureAll() {
    configuration->setValue("Ostrel/KeepAlive", "TRUE");
    configuration->setValue("Directories/VarPath", dir.path() + "/");
    configuration->setValue("Ostrel/DocumentRoot", "./html");
    configuration->setValue("Ostrel/DownloadRoot", "./dl");
    configuration->setValue("Ostrel/DefaultUIType", "desktop");
    configuration->setValue("Ostrel/ReferrerCheck", "False");
  }

  // Records without those of the port search, which depend on other programs,
  // and without the access lines of the requests the tests make.
  std::vector<std::string> records() const { return records(capture); }
  static std::vector<std::string> records(const LogCapture& from) {
    std::vector<std::string> kept;
    for (const std::string& r : from.records())
      if (r.find("INFO port ") != 0 && r.find("INFO GET ") != 0)
        kept.push_back(r);
    return kept;
  }

  TempDir dir;
  ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  LogCapture capture;
  BusinessLogicDouble logic;
  OstrelPlugin plugin;
};

TEST_F(StartSequenceTest, TellsTheBusinessLogicItsFormatThenBootstraps) {
  configureAll();
  plugin.stop();  // without a start: nothing
  EXPECT_FALSE(plugin.started());
  plugin.start();
  ASSERT_TRUE(plugin.started());

  std::vector<std::string> expected = {
      "setOutputFormat target:/KivraBusinessLogic/1.0/Internal/setOutputFormat "
      "<setOutputFormat><OutputFormat>2</OutputFormat></setOutputFormat>",
      "startBootstrap target:/KivraBusinessLogic/1.0/Internal/startBootstrap <startBootstrap></startBootstrap>",
  };
  EXPECT_EQ(expected, messages(logic));
  EXPECT_EQ(2, plugin.reliableEvents()->outputFormat());
  // Words that look meant are taken as the fallback, and said so.
  const std::vector<std::string> flagWarnings = {
      "WARNING Ostrel/KeepAlive is 'TRUE'; only true or false is understood: keep-alive is off",
      "WARNING Ostrel/ReferrerCheck is 'False'; only true or false is understood: the Referer is checked"};
  EXPECT_EQ(flagWarnings, records());
  EXPECT_TRUE(plugin.startupErrors().list().empty());
  // Only the exact words count: "TRUE" leaves keep-alive off, "False" the check on.
  EXPECT_FALSE(plugin.settings().keepAlive);
  EXPECT_TRUE(plugin.settings().referrerCheck);
  EXPECT_EQ(dir.path() + "/./html,/download=" + dir.path() + "/./dl", plugin.settings().documentRoot);

  // The server runs on the published port and serves the composed root.
  ASSERT_GE(plugin.port(), 8091);
  char published[32];
  std::snprintf(published, sizeof published, "dword:%08x\n", plugin.port());
  EXPECT_EQ(published, TempDir::read(dir.file("registry/HKEY_CURRENT_USER/Software/Corvane/Tessaro/OstrelPort")));
  EXPECT_NE(std::string::npos, httpExchange(plugin.port(), "GET / HTTP/1.0\r\n\r\n").find("home"));

  // A second start reads and sends nothing.
  configuration->clear();
  plugin.start();
  EXPECT_EQ(2u, messages(logic).size());
  EXPECT_EQ(flagWarnings, records());
}

TEST_F(StartSequenceTest, FailedReadsAreLoggedInOrderAndStartGoesOn) {
  plugin.start();
  std::vector<std::string> expected = {
      "WARNING Error while trying to retrieve information for KEEP_ALIVE_KEY.",
      "INFO Ostrel/KeepAlive is not set: keep-alive is off",
      "ERROR Error while trying to retrieve information from  Configuration Service. DATA_PATH",
      "INFO Directories/VarPath is not set: roots beginning with \".\" stay relative",
      "ERROR Error while trying to retrieve information from Configuration Service. DOCUMENT ROOT ENTRY",
      "ERROR Error while trying to compose html and download paths: Ostrel/DocumentRoot is empty or not set",
      "ERROR Error while retrieving default UI information. DEFAULT UITYPE KEY",
      "INFO Ostrel/DefaultUIType is not set: no UI is served",
      "ERROR Error while trying to retrieve information from Configuration Manager.",
      "INFO Ostrel/ReferrerCheck is not set: the Referer is checked",
  };
  EXPECT_EQ(expected, records());
  EXPECT_EQ(std::vector<std::string>{"Error while retrieving default UI information. DEFAULT UITYPE KEY"},
            plugin.startupErrors().list());
  // No default UI type: no output format message, but the bootstrap still goes.
  ASSERT_EQ(1u, messages(logic).size());
  EXPECT_EQ(0u, messages(logic)[0].find("startBootstrap "));
  // An empty document root still starts the server.
  EXPECT_EQ(",/download=", plugin.settings().documentRoot);
  EXPECT_GE(plugin.port(), 8091);
}

TEST_F(StartSequenceTest, NoAnswerToTheOutputFormatIsAStartupError) {
  configureAll();
  configuration->setValue("Ostrel/KeepAlive", "false");
  configuration->setValue("Ostrel/ReferrerCheck", "true");
  logic.silence();
  plugin.startupReplyTimeoutSeconds = 0;
  plugin.start();
  EXPECT_EQ(std::vector<std::string>{"Bizl Communication Error"}, plugin.startupErrors().list());
  EXPECT_EQ(std::vector<std::string>{"ERROR Error while trying to set the output format"}, records());
  EXPECT_GE(plugin.port(), 8091);
}

// A GET with the Referer this server accepts.
std::string get(int port, const std::string& uri) {
  return httpExchange(port, "GET " + uri + " HTTP/1.0\r\nHost: 127.0.0.1\r\nReferer: http://127.0.0.1:" +
                                std::to_string(port) + "/\r\n\r\n");
}

TEST_F(StartSequenceTest, ADocumentRootThatNamesSeveralFoldersServesNone) {
  configureAll();
  configuration->setValue("Ostrel/KeepAlive", "true");
  configuration->setValue("Ostrel/ReferrerCheck", "true");
  dir.write("secret/passwd", "secret");
  for (const std::string& alias : {",/x=" + dir.file("secret"), "=/x,/x=" + dir.file("secret")}) {
    SCOPED_TRACE(alias);
    LogCapture round;
    configuration->setValue("Ostrel/DocumentRoot", dir.file("html") + alias);
    plugin.start();
    ASSERT_GE(plugin.port(), 8091);
    // The engine is handed the download root alone: no alias, no HTML root.
    EXPECT_EQ(",/download=" + dir.path() + "/./dl", plugin.settings().documentRoot);
    EXPECT_EQ(std::vector<std::string>{"ERROR Ostrel/DocumentRoot is refused: " + dir.file("html") + alias +
                                       " holds \",\" or \"=\", which the web engine would read as further folders "
                                       "to serve; no UI file is served"},
              records(round));
    EXPECT_EQ(std::string::npos, get(plugin.port(), "/x/passwd").find("secret"));
    EXPECT_EQ(std::string::npos, get(plugin.port(), "/").find("home"));
    EXPECT_NE(std::string::npos, get(plugin.port(), "/download/app.bin").find("app"));
    EXPECT_NE(std::string::npos, plugin.runningLine().find(" (UI type desktop, no root)")) << plugin.runningLine();
    plugin.stop();
  }
}

TEST_F(StartSequenceTest, AMissingDocumentRootIsOneErrorAndTheServingLineSaysSo) {
  configureAll();
  configuration->setValue("Ostrel/KeepAlive", "true");
  configuration->setValue("Ostrel/ReferrerCheck", "true");
  configuration->setValue("Ostrel/DocumentRoot", "./nothere");
  plugin.start();
  ASSERT_GE(plugin.port(), 8091);
  const std::string root = dir.path() + "/./nothere";
  EXPECT_EQ(std::vector<std::string>{"ERROR Ostrel/DocumentRoot: no folder at " + root + "; no UI file is served"},
            records());
  EXPECT_EQ("Ostrel: serving http://127.0.0.1:" + std::to_string(plugin.port()) + "/ (UI type desktop, root " +
                root + " (missing))",
            plugin.runningLine());
  // The output format is still told, as the default without a manifest.
  ASSERT_EQ(2u, messages(logic).size());
  EXPECT_NE(std::string::npos, messages(logic)[0].find("<OutputFormat>0</OutputFormat>"));
  EXPECT_TRUE(plugin.startupErrors().list().empty());
  plugin.stop();

  configuration->setValue("Ostrel/DocumentRoot", "./html");
  plugin.start();
  EXPECT_EQ("Ostrel: serving http://127.0.0.1:" + std::to_string(plugin.port()) + "/ (UI type desktop, root " +
                dir.path() + "/./html)",
            plugin.runningLine());
}

TEST_F(StartSequenceTest, AnUnsafeDefaultUITypeIsRefusedAsAFailedRead) {
  configureAll();
  configuration->setValue("Ostrel/KeepAlive", "true");
  configuration->setValue("Ostrel/ReferrerCheck", "true");
  configuration->setValue("Ostrel/DefaultUIType", "../../etc");
  plugin.start();
  const std::string fixed = "Error while retrieving default UI information. DEFAULT UITYPE KEY";
  const std::vector<std::string> expected = {
      "ERROR " + fixed,
      "ERROR Ostrel/DefaultUIType = '../../etc' is refused: a UI type is one folder name of 1 to 64 letters, "
      "digits, \"-\", \"_\" and \".\", not beginning with \".\"; no UI is served"};
  EXPECT_EQ(expected, records());
  EXPECT_EQ(std::vector<std::string>{fixed}, plugin.startupErrors().list());
  EXPECT_FALSE(plugin.settings().hasDefaultUIType);
  EXPECT_EQ("", plugin.settings().defaultUIType);
  // As without a UI type: no output format is told, the bootstrap still goes.
  ASSERT_EQ(1u, messages(logic).size());
  EXPECT_EQ(0u, messages(logic)[0].find("startBootstrap "));
  EXPECT_NE(std::string::npos, plugin.runningLine().find(" (no UI type, root ")) << plugin.runningLine();
}

TEST_F(StartSequenceTest, StopAndRestartLeaveNothingBehind) {
  configureAll();
  configuration->setValue("Ostrel/KeepAlive", "true");
  // A first round starts what lives for the process (the dispatcher's threads).
  plugin.start();
  plugin.stop();
  const size_t threads = entries("/proc/self/task");
  const size_t descriptors = entries("/proc/self/fd");

  for (int round = 0; round < 3; ++round) {
    plugin.start();
    ASSERT_GE(plugin.port(), 8091);
    EXPECT_NE(std::string::npos, httpExchange(plugin.port(), "GET / HTTP/1.0\r\n\r\n").find("home"));
    plugin.stop();
    EXPECT_FALSE(plugin.started());
    EXPECT_EQ(0, plugin.port());
    EXPECT_EQ(threads, entries("/proc/self/task")) << "round " << round;
    EXPECT_EQ(descriptors, entries("/proc/self/fd")) << "round " << round;
  }

  plugin.start();
  plugin.shutdown();
  EXPECT_FALSE(plugin.started());
  EXPECT_EQ("INFO Shutdown", capture.records().back());
}

}  // namespace
