// The library's entry points, called as the host calls them.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ostrel/plugin/OstrelPlugin.h"
#include "ostrel/plugin/UnencodedString.h"
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

TEST(PluginEntryTest, TheLibraryExportsOnlyItsEntryPoints) {
  FILE* symbols = popen("nm -D --defined-only '" OSTREL_LIBRARY "'", "r");
  ASSERT_NE(nullptr, symbols);
  std::vector<std::string> names;
  char line[4096];
  while (std::fgets(line, sizeof line, symbols)) {
    std::string text(line);
    text.erase(text.find_last_not_of("\n") + 1);
    names.push_back(text.substr(text.rfind(' ') + 1));
  }
  ASSERT_EQ(0, pclose(symbols));
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names)
    EXPECT_TRUE(name == "PF_initPlugin" || name == "ExitFunc" || name.find("15UnencodedString") != std::string::npos)
        << name;
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

TEST(UnencodedStringTest, CopiesItsText) {
  UnencodedString a("text");
  UnencodedString b(a);
  UnencodedString c;
  c = b;
  EXPECT_EQ("text", c.str());
}

}  // namespace
