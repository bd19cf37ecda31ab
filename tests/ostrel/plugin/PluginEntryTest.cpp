// The library's entry points, called as the host calls them.

#include <gtest/gtest.h>

#include "ostrel/plugin/OstrelPlugin.h"
#include "ostrel/plugin/StartupErrors.h"
#include "ostrel/plugin/UnencodedString.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/PluginInterface.h"

extern "C" PF_ExitFunc PF_initPlugin(const PF_PlatformServices* services);
extern "C" int32_t ExitFunc();

namespace {

std::string registeredType;
PF_RegisterParams registered;
int32_t answer = 0;

int32_t recordRegistration(const char* type, const PF_RegisterParams* params) {
  registeredType = type;
  registered = *params;
  return answer;
}

TEST(PluginEntryTest, RegistersTheComponentFactory) {
  PF_PlatformServices services{{1, 0}, recordRegistration};
  answer = 0;
  PF_ExitFunc exit = PF_initPlugin(&services);
  ASSERT_NE(nullptr, exit);
  EXPECT_EQ(0, exit());
  EXPECT_EQ("ostrelplugin", registeredType);
  EXPECT_EQ(1, registered.version.major);
  EXPECT_EQ(0, registered.version.minor);
  EXPECT_EQ(1, registered.programmingLanguage);

  void* object = registered.createFunc(nullptr);
  ASSERT_NE(nullptr, object);
  auto* component = static_cast<IComponent*>(object);
  EXPECT_NE(nullptr, dynamic_cast<OstrelPlugin*>(component));
  EXPECT_EQ(0, registered.destroyFunc(object));
  EXPECT_EQ(0, registered.destroyFunc(nullptr));
}

TEST(PluginEntryTest, RefusedRegistrationGivesNoExitFunction) {
  PF_PlatformServices services{{1, 0}, recordRegistration};
  answer = -1;
  EXPECT_EQ(nullptr, PF_initPlugin(&services));
  answer = 0;
  EXPECT_EQ(nullptr, PF_initPlugin(nullptr));
}

TEST(OstrelPluginTest, StartAndStopHonourStarted) {
  ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  configuration->clear();
  configuration->setValue("Ostrel/KeepAlive", "true");
  configuration->setValue("Directories/VarPath", "/var/k/");
  configuration->setValue("Ostrel/DocumentRoot", "./html");
  configuration->setValue("Ostrel/DownloadRoot", "/dl");
  configuration->setValue("Ostrel/DefaultUIType", "Desktop");
  configuration->setValue("Ostrel/ReferrerCheck", "False");
  StartupErrors::instance().clear();
  TempDir registry;
  setenv("TESSARO_REGISTRY_ROOT", registry.path().c_str(), 1);
  LogCapture capture;

  OstrelPlugin plugin;
  plugin.stop();  // without start: nothing
  EXPECT_FALSE(plugin.started());
  plugin.start();
  EXPECT_TRUE(plugin.started());
  EXPECT_TRUE(plugin.settings().keepAlive);
  EXPECT_EQ("/var/k/./html,/download=/dl", plugin.settings().documentRoot);
  EXPECT_EQ("Desktop", plugin.settings().defaultUIType);
  EXPECT_TRUE(plugin.settings().referrerCheck);  // only "false" switches it off
  EXPECT_GE(plugin.port(), 8091);
  EXPECT_TRUE(capture.records().empty() || capture.records().back() == "INFO Internal server port is busy");
  size_t startRecords = capture.records().size();

  // A second start reads nothing.
  configuration->clear();
  plugin.start();
  EXPECT_EQ("Desktop", plugin.settings().defaultUIType);
  EXPECT_EQ(startRecords, capture.records().size());

  plugin.stop();
  EXPECT_FALSE(plugin.started());
  // Started again, the whole sequence runs again, now with every read failing.
  plugin.start();
  EXPECT_EQ(",/download=", plugin.settings().documentRoot);
  std::vector<std::string> records = capture.records();
  EXPECT_EQ(6u, size_t(std::count_if(records.begin() + long(startRecords), records.end(),
                                     [](const std::string& r) { return r.find("Error while") != std::string::npos; })));
  EXPECT_EQ(std::vector<std::string>{"Error while retrieving default UI information. DEFAULT UITYPE KEY"},
            StartupErrors::instance().list());

  plugin.shutdown();
  EXPECT_FALSE(plugin.started());
  EXPECT_EQ(0, plugin.port());
  EXPECT_EQ("INFO Shutdown", capture.records().back());
  StartupErrors::instance().clear();
  unsetenv("TESSARO_REGISTRY_ROOT");
}

TEST(UnencodedStringTest, CopiesItsText) {
  UnencodedString a("text");
  UnencodedString b(a);
  UnencodedString c;
  c = b;
  EXPECT_EQ("text", c.str());
}

}  // namespace
