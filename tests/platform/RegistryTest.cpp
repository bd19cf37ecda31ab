#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "support/OtherUser.h"
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

  // The port read back as a reader of the registry reads it; the error code otherwise.
  long readDword(uint32_t& value) {
    HKEY key = nullptr;
    long result = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Corvane\\Tessaro", 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) return result;
    uint8_t data[4] = {};
    uint32_t type = 0, size = sizeof data;
    result = RegQueryValueExA(key, "OstrelPort", nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS && (type != REG_DWORD || size != 4)) return ERROR_INVALID_DATA;
    value = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
    return result;
  }

  // A refused registry: the write fails at once, no reader gets a value, and
  // the refusal names the folder and why.
  void expectRefused(const std::string& refusal, const std::string& what) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ERROR_ACCESS_DENIED, writeDword(8091)) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << what;
    EXPECT_EQ(refusal, registryKeyRefusal("Software\\Corvane\\Tessaro")) << what;
    uint32_t value = 0;
    EXPECT_EQ(ERROR_ACCESS_DENIED, readDword(value)) << what;
  }

  const std::string key = "/HKEY_CURRENT_USER/Software/Corvane/Tessaro";
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

TEST_F(RegistryTest, RefusesFoldersOthersMayChangeAndSaysWhy) {
  ASSERT_EQ(0, mkdir(root.c_str(), 0777));
  chmod(root.c_str(), 0777);
  expectRefused(root + " may be written by others (mode 0777)", "world-writable root");
  chmod(root.c_str(), 0770);
  expectRefused(root + " may be written by its group (mode 0770)", "group-writable root");
  rmdir(root.c_str());

  dir.write("registry", "a file");
  expectRefused(root + " is not a folder", "a file as the root");
  unlink(root.c_str());

  // A link to a folder of this user's own is refused too: it could be turned elsewhere.
  ASSERT_EQ(0, mkdir(dir.file("elsewhere").c_str(), 0700));
  ASSERT_EQ(0, symlink(dir.file("elsewhere").c_str(), root.c_str()));
  expectRefused(root + " is a symbolic link", "linked root");
  unlink(root.c_str());

  // A key folder on the way is checked like the root.
  ASSERT_EQ(ERROR_SUCCESS, writeDword(8091));
  chmod((root + "/HKEY_CURRENT_USER/Software").c_str(), 0757);
  expectRefused(root + "/HKEY_CURRENT_USER/Software may be written by others (mode 0757)", "a key folder");
  chmod((root + "/HKEY_CURRENT_USER/Software").c_str(), 0700);
  EXPECT_EQ("", registryKeyRefusal("Software\\Corvane\\Tessaro"));
  EXPECT_EQ("Software\\..\\x is not a key name", registryKeyRefusal("Software\\..\\x"));
}

TEST_F(RegistryTest, ReadsBackOnlyValuesThisUserWrote) {
  uint32_t value = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, readDword(value));
  // Reading creates nothing.
  EXPECT_NE(0, access(root.c_str(), F_OK));
  ASSERT_EQ(ERROR_SUCCESS, writeDword(8091));
  ASSERT_EQ(ERROR_SUCCESS, readDword(value));
  EXPECT_EQ(8091u, value);

  HKEY handle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Corvane\\Tessaro", 0, KEY_READ, &handle));
  uint32_t type = 0, size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(handle, "OstrelPort", nullptr, &type, nullptr, &size));
  EXPECT_EQ(uint32_t(REG_DWORD), type);
  EXPECT_EQ(4u, size);
  uint8_t small[2] = {};
  size = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(handle, "OstrelPort", nullptr, &type, small, &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(handle, "Other", nullptr, &type, nullptr, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(handle));

  const std::string file = root + key + "/OstrelPort";
  struct Case {
    std::function<void()> plant;
    long expected;
    const char* what;
  };
  const std::vector<Case> cases = {
      {[&] { chmod(file.c_str(), 0666); }, ERROR_ACCESS_DENIED, "a value others may write"},
      {[&] { dir.write("registry" + key + "/OstrelPort", "dword:-0001f9b\n"); }, ERROR_INVALID_DATA, "a sign"},
      {[&] { dir.write("registry" + key + "/OstrelPort", "dword:00001F9B\n"); }, ERROR_INVALID_DATA, "upper case"},
      {[&] { dir.write("registry" + key + "/OstrelPort", "dword:00001f9b"); }, ERROR_INVALID_DATA, "no line end"},
      {[&] {
         unlink(file.c_str());
         dir.write("real-value", "dword:00001f9b\n");
         symlink(dir.file("real-value").c_str(), file.c_str());
       },
       ERROR_ACCESS_DENIED, "a link"},
      {[&] {
         unlink(file.c_str());
         mkfifo(file.c_str(), 0600);
       },
       ERROR_ACCESS_DENIED, "a pipe"},
  };
  for (const Case& c : cases) {
    unlink(file.c_str());
    ASSERT_EQ(ERROR_SUCCESS, writeDword(8091));
    c.plant();
    EXPECT_EQ(c.expected, readDword(value)) << c.what;
  }
}

TEST_F(RegistryTest, AnotherUsersFoldersAreNeitherWrittenNorRead) {
  if (!otheruser::available()) GTEST_SKIP() << "needs root and setpriv to act as another user";
  // The root lies in a folder every user may write, as /tmp.
  ASSERT_EQ(0, chmod(dir.path().c_str(), 01777));
  const std::string self = std::to_string(geteuid());
  const std::string other = std::to_string(otheruser::kUid);

  // Made first by the other user, with a port of theirs in it.
  ASSERT_EQ(0, otheruser::run("mkdir -p '" + root + key + "' && chmod -R 755 '" + root +
                              "' && printf 'dword:00002328\\n' > '" + root + key + "/OstrelPort'"));
  expectRefused(root + " is owned by uid " + other + ", not by this user (uid " + self + ")", "foreign root");
  EXPECT_EQ("dword:00002328\n", TempDir::read(root + key + "/OstrelPort"));

  // A foreign folder deeper in a root of this user's.
  ASSERT_EQ(0, otheruser::run("rm -rf '" + root + "'"));
  ASSERT_EQ(ERROR_SUCCESS, writeDword(8091));
  ASSERT_EQ(0, chown((root + "/HKEY_CURRENT_USER").c_str(), otheruser::kUid, otheruser::kUid));
  expectRefused(root + "/HKEY_CURRENT_USER is owned by uid " + other + ", not by this user (uid " + self + ")",
                "foreign key folder");
  ASSERT_EQ(0, chown((root + "/HKEY_CURRENT_USER").c_str(), geteuid(), getegid()));

  // A value file of another user's in this user's folder.
  uint32_t value = 0;
  ASSERT_EQ(ERROR_SUCCESS, readDword(value));
  ASSERT_EQ(0, chown((root + key + "/OstrelPort").c_str(), otheruser::kUid, otheruser::kUid));
  EXPECT_EQ(ERROR_ACCESS_DENIED, readDword(value));
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
