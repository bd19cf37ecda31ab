#include "tessaro/HostConfig.h"

#include <gtest/gtest.h>

#include "tessaro/ConfigurationManager.h"

TEST(HostConfigTest, ReadsSectionsAndResolvesHostPaths) {
  HostConfig config;
  std::string error;
  ASSERT_TRUE(parseHostConfig("# demo\n[host]\nplugins = lib/a.so /abs/b.so\nlog_file = host.log\n"
                              "[scope0]\nOstrel/DocumentRoot = ./ui\nOstrel/Empty =\n"
                              "[scope1]\nKivraLogger/Level = INFO\n",
                              "/etc/t", config, error))
      << error;
  EXPECT_EQ((std::vector<std::string>{"/etc/t/lib/a.so", "/abs/b.so"}), config.plugins);
  EXPECT_EQ("/etc/t/host.log", config.logFile);
  EXPECT_EQ("./ui", config.scope0.at("Ostrel/DocumentRoot"));
  EXPECT_EQ("", config.scope0.at("Ostrel/Empty"));
  EXPECT_EQ("INFO", config.scope1.at("KivraLogger/Level"));
}

TEST(HostConfigTest, RefusesMalformedTextNamingTheLine) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"[host]\nplugins = a.so\njunk\n", "line 3: expected 'key = value'"},
      {"[host\n", "line 1: unterminated section header"},
      {"[other]\n", "line 1: unknown section [other]"},
      {"x = 1\n", "line 1: value outside a section"},
      {"[host]\nplugin = a.so\n", "line 2: unknown key 'plugin' in [host]"},
      {"[scope0]\na = b\n", "no [host] section"},
      {"[host]\nlog_file = -\n", "[host] plugins lists no plug-in"},
  };
  for (const Case& c : cases) {
    HostConfig config;
    std::string error;
    EXPECT_FALSE(parseHostConfig(c.text, ".", config, error)) << c.text;
    EXPECT_EQ(c.error, error) << c.text;
  }
}

TEST(ConfigurationManagerTest, ScopesAreSeparateStores) {
  ConfigurationManager* zero = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  ConfigurationManager* one = ConfigurationManager::getDefaultInstance(ConfigScopeShared);
  ASSERT_NE(zero, one);
  zero->setValue("k", "v0");
  std::string value = "untouched";
  EXPECT_NE(0, one->getValue("k", value));
  EXPECT_EQ("untouched", value);
  EXPECT_EQ(0, zero->getValue("k", value));
  EXPECT_EQ("v0", value);
  zero->removeValue("k");
  EXPECT_NE(0, zero->getValue("k", value));
}
