#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TempDir.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.path() + "/registry";
    setenv("TESSARO_REGISTRY_ROOT", root.c_str(), 1);
  }
  void TearDown() override { unsetenv("TESSARO_REGISTRY_ROOT"); }

  long writeDword(uint32_t value) {
    HKEY key = nullptr;
    uint32_t disposition = 0;
    long result = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Corvane\\Tessaro", 0, nullptr, REG_OPTION_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (result != ERROR_SUCCESS) return result;
    lastDisposition = disposition;
    uint8_t data[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    result = RegSetValueExA(key, "OstrelPort", 0, REG_DWORD, data, 4);
    RegCloseKey(key);
    return result;
  }

  TempDir dir;
  std::string root;
  uint32_t lastDisposition = 0;
};

TEST_F(RegistryTest, WritesDwordValuesAsRegText) {
  ASSERT_EQ(ERROR_SUCCESS, writeDword(8091));
  EXPECT_EQ(uint32_t(REG_CREATED_NEW_KEY), lastDisposition);
  std::string file = registryValueFile("Software\\Corvane\\Tessaro", "OstrelPort");
  EXPECT_EQ(root + "/HKEY_CURRENT_USER/Software/Corvane/Tessaro/OstrelPort", file);
  EXPECT_EQ("dword:00001f9b\n", TempDir::read(file));
  ASSERT_EQ(ERROR_SUCCESS, writeDword(0));
  EXPECT_EQ(uint32_t(REG_OPENED_EXISTING_KEY), lastDisposition);
  EXPECT_EQ("dword:00000000\n", TempDir::read(file));
  struct stat info;
  ASSERT_EQ(0, stat(root.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
}

TEST_F(RegistryTest, RefusesARootOthersMayWriteOrThatIsNoFolder) {
  ASSERT_EQ(0, mkdir(root.c_str(), 0777));
  chmod(root.c_str(), 0777);
  EXPECT_EQ(ERROR_ACCESS_DENIED, writeDword(1));
  rmdir(root.c_str());
  dir.write("registry", "a file");
  EXPECT_EQ(ERROR_ACCESS_DENIED, writeDword(1));
}

TEST_F(RegistryTest, RefusesAForeignOwnedRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder to another user";
  ASSERT_EQ(0, mkdir(root.c_str(), 0700));
  ASSERT_EQ(0, chown(root.c_str(), 65534, 65534));
  EXPECT_EQ(ERROR_ACCESS_DENIED, writeDword(1));
}

TEST_F(RegistryTest, RejectsBadArguments) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\..\\x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  uint8_t data[4] = {};
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "../escape", 0, REG_DWORD, data, 4));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "V", 0, 1, data, 4));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

}  // namespace
