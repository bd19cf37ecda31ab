// The update manager: validation against an agent answering on the real
// dispatcher, the update road, activation, restore and the busy flag.

#include "ostrel/updates/UXUpdateManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>

#include <sys/stat.h>

#include "ostrel/services/UIContexts.h"
#include "ostrel/updates/UXUpdatePackageException.h"
#include "support/LogCapture.h"
#include "support/OtherUser.h"
#include "support/TempDir.h"
#include "UXUpdateTestSupport.h"

namespace {

namespace fs = std::filesystem;

// Collects what an update reports.
class Progress {
 public:
  UpdateCallback callback() {
    return [this](const UpdateMsgPtr& message) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(std::to_string(message->code) + (message->text.empty() ? "" : " " + message->text));
    };
  }
  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;  // guards messages_
  std::vector<std::string> messages_;
};

class UXUpdateManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    html = dir.file("html");
    dir.write("html/store/UXManifest.xml", uxtest::uiManifest("store", "1.0.5", 7, 3));
    dir.write("html/store/index.html", "old");
    dir.write("html/store/css/site.css", "old css");
    dir.write("html/top.txt", "top");
    contexts.setDefaultUIType("store");
    contexts.factory().registerBuilder("store", UIDescriptorFactory::kivraBuilder("store", html));
    contexts.holder().put("store", contexts.factory().create("store"));
    manager = std::make_shared<UXUpdateManager>(html, &contexts);
    manager->queryTimeoutSeconds = 10;
    agent.answerXml(4, "2.1.0");
  }
  void TearDown() override { agent.release(); }

  // A valid package carrying a new index.html and a new script for "store";
  // `change` may alter its folder before it is zipped.
  std::string package(const uxtest::PackageFields& fields = {}, const std::string& name = "update.zip",
                      const std::function<void(const std::string&)>& change = nullptr) {
    const std::string folder = dir.file("pkg-" + name);
    fs::remove_all(folder);
    std::filesystem::create_directories(folder + "/store/js");
    std::ofstream(folder + "/UXUpdateManifest.xml") << uxtest::packageManifest(fields);
    std::ofstream(folder + "/store/index.html") << "new " + fields.version;
    std::ofstream(folder + "/store/js/app.js") << "app " + fields.version;
    std::ofstream(folder + "/store/UXManifest.xml") << uxtest::uiManifest("store", fields.version, 7, 3);
    if (change) change(folder);
    fs::remove(dir.file(name));
    EXPECT_EQ(0, uxtest::zipFolder(folder, dir.file(name)));
    return dir.file(name);
  }

  // A manager of the same HTML root with limits of the test's own.
  std::shared_ptr<UXUpdateManager> limitedManager(const UXPackageLimits& limits) {
    auto limited = std::make_shared<UXUpdateManager>(html, &contexts, limits);
    limited->queryTimeoutSeconds = 10;
    return limited;
  }

  // A package refused like an unreadable one: nothing staged, the UI as it was.
  void expectRefused(Progress& progress, const std::string& what) {
    EXPECT_EQ(std::vector<std::string>{"-101 Could not load UX Update package"}, progress.messages()) << what;
    ASSERT_FALSE(errors().empty()) << what;
    EXPECT_EQ("Could not load UX Update package ", errors().back()) << what;
    EXPECT_FALSE(fs::exists(dir.file("html_update"))) << what;
    EXPECT_FALSE(fs::exists(dir.file("html_recovery"))) << what;
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html")) << what;
    EXPECT_FALSE(fs::exists(html + "/store/js")) << what;
    EXPECT_FALSE(manager->wasUpdated()) << what;
  }

  // A package refused by its content: reported invalid, nothing staged, the UI
  // as it was, and `why` logged before the validation error.
  void expectInvalid(Progress& progress, LogCapture& capture, const std::string& why, const std::string& what) {
    EXPECT_EQ(std::vector<std::string>{"-102 Invalid Package"}, progress.messages()) << what;
    std::vector<std::string> records = capture.records();
    ASSERT_GE(records.size(), 2u) << what;
    EXPECT_EQ("ERROR " + why, records[records.size() - 2]) << what;
    EXPECT_EQ("ERROR Package Validation Error. ", records.back()) << what;
    EXPECT_FALSE(fs::exists(dir.file("html_update"))) << what;
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html")) << what;
    EXPECT_FALSE(fs::exists(html + "/store/js")) << what;
    EXPECT_EQ("1.0.5", manager->getUxVersion()) << what;
    EXPECT_FALSE(manager->wasUpdated()) << what;
  }

  static unsigned mode(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? unsigned(info.st_mode & 07777) : 01000000;
  }

  // The ERROR lines logged since the capture began.
  std::vector<std::string> errors() {
    std::vector<std::string> found;
    for (const std::string& record : log.records())
      if (record.rfind("ERROR ", 0) == 0) found.push_back(record.substr(6));
    return found;
  }

  bool validates(const uxtest::PackageFields& fields) {
    KivraUXUpdatePackage& p = manager->package();
    p.Id = fields.id;
    p.Version = fields.version;
    p.HCVersion = fields.hcVersion;
    p.OSType = fields.osType;
    p.DeviceType = fields.deviceType;
    p.StoreId = fields.storeId;
    p.AffiliateId = fields.affiliateId;
    return manager->validatePackage();
  }

  TempDir dir;
  std::string html;
  LogCapture log;
  uxtest::Agent agent;
  UIContexts contexts;
  std::shared_ptr<UXUpdateManager> manager;
};

TEST(UXUpdateVersionTest, CompareVersions) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  for (const Case& c : std::vector<Case>{
           {"1.2", "1.2.0", 0},     {"1.2.0", "1.2", 0},    {"1.10", "1.9", 1},     {"1.9", "1.10", -1},
           {"2", "1.99.99", 1},     {"1.0.5", "1.0.5", 0},  {"1.0.6", "1.0.5", 1},  {"1.3-beta", "1.3", -1},
           {"1.3-beta", "1.0", 0},  {"3-beta", "3", -1},  {"3-beta", "0", 0},     {"", "", 0},            {"", "0.0", 0},
           {"", "1", -1},           {"1", "", 1},           {"beta", "0", 0},       {"v1.2", "0", 0},
           {"01.002", "1.2", 0},    {"1.2.3.4", "1.2.3", 1}, {"99999999999999999999.1", "99999999999999999998.9", 1},
           {"1.2 build 7", "1.2", -1}, {"1.2 build 7", "1", 0}})
    EXPECT_EQ(c.order, UXUpdateManager::compareVersions(c.a, c.b)) << '"' << c.a << "\" vs \"" << c.b << '"';
}

TEST_F(UXUpdateManagerTest, EachValidationFailureLogsItsText) {
  EXPECT_TRUE(validates({}));
  EXPECT_TRUE(errors().empty());

  struct Case {
    std::function<void(uxtest::PackageFields&)> change;
    std::string text;
  };
  const std::vector<Case> cases = {
      {[](uxtest::PackageFields& p) { p.id = "absent"; }, "Target UX not found."},
      {[](uxtest::PackageFields& p) { p.deviceType = 5; }, "Device Type does not match."},
      {[](uxtest::PackageFields& p) { p.hcVersion = "2.2"; },
       "Invalid HC version (HCCurrent: 2.1.0, HCPkgVersion: 2.2)"},
      {[](uxtest::PackageFields& p) { p.version = "1.0.5"; },
       "New UX version is lower or equal than UX actual version (Current: 1.0.5, New: 1.0.5)"},
      {[](uxtest::PackageFields& p) { p.version = "1.0.4.9"; },
       "New UX version is lower or equal than UX actual version (Current: 1.0.5, New: 1.0.4.9)"},
      {[](uxtest::PackageFields& p) { p.storeId = 8; }, "Store ID does not match."},
      {[](uxtest::PackageFields& p) { p.affiliateId = 4; }, "Affiliate ID does not match."},
  };
  for (const Case& c : cases) {
    LogCapture fresh;
    uxtest::PackageFields fields;
    c.change(fields);
    EXPECT_FALSE(validates(fields)) << c.text;
    std::vector<std::string> records = fresh.records();
    ASSERT_FALSE(records.empty()) << c.text;
    EXPECT_EQ("ERROR " + c.text, records.back());
  }
  // OSType takes part in no check.
  uxtest::PackageFields other;
  other.osType = 77;
  EXPECT_TRUE(validates(other));

  // Another UI folder than the installed one's type.
  dir.write("html/second/index.html", "x");
  {
    LogCapture fresh;
    uxtest::PackageFields second;
    second.id = "second";
    EXPECT_FALSE(validates(second));
    EXPECT_EQ("ERROR UIType does not match. (Current: store, New: second)", fresh.records().back());
  }
  // No installed descriptor and no builder for the package's type.
  contexts.setDefaultUIType("nothing-installed");
  dir.write("html/unbuilt/index.html", "x");
  {
    LogCapture fresh;
    uxtest::PackageFields unbuilt;
    unbuilt.id = "unbuilt";
    EXPECT_FALSE(validates(unbuilt));
    EXPECT_EQ("ERROR UX Local descriptor could not be loaded.", fresh.records().back());
  }
  // Without an installed context the package's type is built through the factory.
  EXPECT_TRUE(validates({}));
}

TEST_F(UXUpdateManagerTest, QueriesInBothFormats) {
  int32_t deviceType = 0;
  std::string version;
  ASSERT_TRUE(manager->queryDeviceType(deviceType));
  EXPECT_EQ(4, deviceType);
  ASSERT_TRUE(manager->queryClientVersion(version));
  EXPECT_EQ("2.1.0", version);
  std::vector<uxtest::Agent::Request> requests = agent.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("target:/KivraBusinessLogic/1.0/Agent/getDeviceType", requests[0].target);
  EXPECT_EQ("getDeviceType", requests[0].type);
  EXPECT_EQ("<getDeviceType></getDeviceType>", requests[0].document);
  EXPECT_EQ("target:/KivraBusinessLogic/1.0/Agent/getVersion", requests[1].target);
  EXPECT_EQ("<getVersion></getVersion>", requests[1].document);

  // JSON: the first digits, and the first dotted triple.
  manager->setReliableEvents(std::make_shared<uxtest::FakeEvents>(2));
  agent.answer("{\"response\":{\"deviceType\":12,\"other\":3}}", "{\"response\":{\"build\":\"7\",\"version\":\"3.4.5.6\"}}");
  ASSERT_TRUE(manager->queryDeviceType(deviceType));
  EXPECT_EQ(12, deviceType);
  ASSERT_TRUE(manager->queryClientVersion(version));
  EXPECT_EQ("3.4.5", version);

  agent.answerJson(4, "2.1.1");
  EXPECT_TRUE(validates({}) == false);
  EXPECT_EQ("Invalid HC version (HCCurrent: 2.1.1, HCPkgVersion: 2.1.0)", errors().back());
  agent.answerJson(4, "2.1.0");
  uxtest::PackageFields shortVersion;
  shortVersion.hcVersion = "2.1";
  EXPECT_TRUE(validates(shortVersion));
  agent.answerJson(5, "2.1.0");
  EXPECT_FALSE(validates({}));
  EXPECT_EQ("Device Type does not match.", errors().back());

  // Replies without the value.
  agent.answer("{\"response\":\"none\"}", "{\"response\":\"2.1\"}");
  EXPECT_FALSE(manager->queryDeviceType(deviceType));
  EXPECT_FALSE(manager->queryClientVersion(version));
  std::vector<std::string> logged = errors();
  ASSERT_GE(logged.size(), 2u);
  EXPECT_EQ("Unable to extract deviceType from payload. {\"response\":\"none\"}", logged[logged.size() - 2]);
  EXPECT_EQ("Unable to extract HC version from payload. {\"response\":\"2.1\"}", logged.back());

  manager->setReliableEvents(nullptr);
  agent.answer("<Response><Type>4</Type></Response>", "<Other/>");
  EXPECT_FALSE(manager->queryDeviceType(deviceType));
  EXPECT_FALSE(manager->queryClientVersion(version));
  logged = errors();
  EXPECT_EQ("Unable to extract deviceType from payload. <Response><Type>4</Type></Response>", logged[logged.size() - 2]);
  EXPECT_EQ("Unable to extract HC version from payload. <Other/>", logged.back());
  // An error reply counts as no value; the device check then fails.
  agent.answer("<Response><DeviceType>4</DeviceType></Response>", "", "ERROR");
  EXPECT_FALSE(validates({}));
  EXPECT_EQ("Device Type does not match.", errors().back());
}

TEST_F(UXUpdateManagerTest, UpdateActivateAndRestore) {
  Progress progress;
  const std::string archive = package();
  EXPECT_EQ(0, manager->runUpdate(archive, false, progress.callback()));
  EXPECT_EQ(std::vector<std::string>{"1"}, progress.messages());
  // Staged beside the HTML root, the installed UI untouched.
  EXPECT_EQ(dir.file("html_update"), manager->updateDirectory());
  EXPECT_EQ(dir.file("html_recovery"), manager->recoveryDirectory());
  EXPECT_EQ("new 1.1.0", TempDir::read(dir.file("html_update/store/index.html")));
  EXPECT_FALSE(fs::exists(dir.file("html_update/UXUpdateManifest.xml")));
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
  EXPECT_FALSE(manager->wasUpdated());

  EXPECT_EQ(0, manager->activateUpdate());
  EXPECT_EQ("new 1.1.0", TempDir::read(html + "/store/index.html"));
  EXPECT_EQ("app 1.1.0", TempDir::read(html + "/store/js/app.js"));
  // Files the package does not carry stay.
  EXPECT_EQ("old css", TempDir::read(html + "/store/css/site.css"));
  EXPECT_EQ("old", TempDir::read(dir.file("html_recovery/store/index.html")));
  EXPECT_FALSE(fs::exists(dir.file("html_update")));
  EXPECT_TRUE(manager->wasUpdated());
  EXPECT_FALSE(manager->wasUpdated());
  // The installed descriptor was reloaded (and replaced, not changed in place).
  EXPECT_EQ("1.1.0", manager->getUxVersion());
  EXPECT_EQ(-105, manager->activateUpdate());

  EXPECT_EQ(0, manager->restoreRecovery());
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
  EXPECT_FALSE(fs::exists(html + "/store/js/app.js"));
  EXPECT_EQ("top", TempDir::read(html + "/top.txt"));
  EXPECT_FALSE(fs::exists(dir.file("html_recovery")));
  EXPECT_EQ("1.0.5", manager->getUxVersion());
  // Nothing left to restore: nothing changes.
  EXPECT_EQ(0, manager->restoreRecovery());
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));

  // Update with activation in one go.
  Progress both;
  EXPECT_EQ(0, manager->runUpdate(package({}, "again.zip"), true, both.callback()));
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), both.messages());
  EXPECT_EQ("new 1.1.0", TempDir::read(html + "/store/index.html"));
  EXPECT_TRUE(manager->wasUpdated());
}

TEST_F(UXUpdateManagerTest, FailuresReportTheirCodes) {
  Progress progress;
  EXPECT_EQ(-100, manager->runUpdate(dir.file("none.zip"), true, progress.callback()));
  EXPECT_EQ(-100, manager->runUpdate(html, true, progress.callback()));
  dir.write("broken.zip", "no zip");
  EXPECT_EQ(-101, manager->runUpdate(dir.file("broken.zip"), true, progress.callback()));
  uxtest::PackageFields older;
  older.version = "1.0.0";
  EXPECT_EQ(-102, manager->runUpdate(package(older), true, progress.callback()));
  EXPECT_EQ(-105, manager->activateUpdate());
  EXPECT_EQ((std::vector<std::string>{"-100 Package not found", "-100 Package not found",
                                      "-101 Could not load UX Update package", "-102 Invalid Package"}),
            progress.messages());
  std::vector<std::string> logged = errors();
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ("Package could not be found. ", logged[0]);
  EXPECT_NE(logged.end(), std::find(logged.begin(), logged.end(), "Could not load UX Update package "));
  EXPECT_EQ("Package Validation Error. ", logged.back());
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
  EXPECT_FALSE(manager->wasUpdated());
  // An empty callback is fine.
  EXPECT_EQ(-100, manager->runUpdate("", true, nullptr));
}

TEST_F(UXUpdateManagerTest, APackageIsStagedAloneAndWhole) {
  // A staged package that is replaced leaves none of its files behind.
  Progress progress;
  const std::string first = package({}, "first.zip");
  dir.write("pkg-first.zip/store/only-in-first.js", "first");
  ASSERT_EQ(0, uxtest::zipFolder(dir.file("pkg-first.zip"), first));
  EXPECT_EQ(0, manager->runUpdate(first, false, progress.callback()));
  EXPECT_TRUE(fs::exists(dir.file("html_update/store/only-in-first.js")));
  uxtest::PackageFields second;
  second.version = "1.2.0";
  EXPECT_EQ(0, manager->runUpdate(package(second, "second.zip"), false, progress.callback()));
  EXPECT_FALSE(fs::exists(dir.file("html_update/store/only-in-first.js")));
  EXPECT_EQ("new 1.2.0", TempDir::read(dir.file("html_update/store/index.html")));

  // An unpacking that fails midway stages nothing that ACTIVATE could take.
  const std::string broken = dir.file("broken.zip");
  ASSERT_TRUE(uxtest::writeRawZip(broken, {{"UXUpdateManifest.xml", uxtest::packageManifest({})},
                                           {"store/index.html", "half"},
                                           {"store/index.html/x", "under a file"}}));
  EXPECT_EQ(-101, manager->runUpdate(broken, false, progress.callback()));
  EXPECT_FALSE(fs::exists(dir.file("html_update")));
  EXPECT_EQ(-105, manager->activateUpdate());
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));

  // A zip-slip package is refused the same way and writes nothing outside.
  const std::string slip = dir.file("slip.zip");
  ASSERT_TRUE(uxtest::writeRawZip(slip, {{"UXUpdateManifest.xml", uxtest::packageManifest({})},
                                         {"store/index.html", "evil"},
                                         {"../html/store/index.html", "evil"}}));
  EXPECT_EQ(-101, manager->runUpdate(slip, true, progress.callback()));
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
  EXPECT_FALSE(fs::exists(dir.file("html_update")));
}

TEST_F(UXUpdateManagerTest, APackageExpandingPastTheLimitsIsRefusedAndNothingStaged) {
  // 8 MiB of zeros deflate to some KiB: past the default expansion ratio.
  const std::string zeros = package({}, "zeros.zip", [](const std::string& folder) {
    std::ofstream(folder + "/store/zeros.bin");
    fs::resize_file(folder + "/store/zeros.bin", 8u << 20);
  });
  ASSERT_LT(fs::file_size(zeros) * UXPackageLimits().maxExpansionRatio, 8u << 20);
  // A package staged before is gone too: a refusal leaves nothing to activate.
  ASSERT_EQ(0, manager->runUpdate(package(), false, nullptr));
  ASSERT_TRUE(fs::exists(dir.file("html_update/store/index.html")));
  {
    Progress progress;
    EXPECT_EQ(-101, manager->runUpdate(zeros, true, progress.callback()));
    expectRefused(progress, "default limits");
    EXPECT_EQ(-105, manager->activateUpdate());
  }

  // With the ratio lifted, the unpacked size limit refuses it.
  UXPackageLimits bySize;
  bySize.maxExpansionRatio = 1000000;
  bySize.maxUnpackedBytes = 4u << 20;
  {
    Progress progress;
    EXPECT_EQ(-101, limitedManager(bySize)->runUpdate(zeros, true, progress.callback()));
    expectRefused(progress, "unpacked size");
  }
  // A package file larger than allowed is refused before it is read.
  UXPackageLimits byFile;
  byFile.maxExpansionRatio = 1000000;
  byFile.maxPackageBytes = fs::file_size(zeros) - 1;
  {
    Progress progress;
    EXPECT_EQ(-101, limitedManager(byFile)->runUpdate(zeros, true, progress.callback()));
    expectRefused(progress, "package file size");
  }

  // Within every limit the same package goes through whole.
  UXPackageLimits within = bySize;
  within.maxUnpackedBytes = 9u << 20;
  Progress progress;
  EXPECT_EQ(0, limitedManager(within)->runUpdate(zeros, true, progress.callback()));
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), progress.messages());
  EXPECT_EQ(8u << 20, fs::file_size(html + "/store/zeros.bin"));
}

TEST_F(UXUpdateManagerTest, APackageWithTooManyEntriesIsRefusedAndNothingStaged) {
  std::vector<std::pair<std::string, std::string>> entries = {
      {"UXUpdateManifest.xml", uxtest::packageManifest({})}, {"store/index.html", "new"}};
  const size_t defaultEntries = UXPackageLimits().maxEntries;
  while (entries.size() <= defaultEntries)
    entries.emplace_back("store/js/" + std::to_string(entries.size()) + ".js", "");
  const std::string many = dir.file("many.zip");
  ASSERT_TRUE(uxtest::writeRawZip(many, entries));
  {
    Progress progress;
    EXPECT_EQ(-101, manager->runUpdate(many, true, progress.callback()));
    expectRefused(progress, "default limit");
  }

  // Entries are counted as walked, folders included: six here.
  const std::string six = package({}, "six.zip");
  UXPackageLimits five;
  five.maxEntries = 5;
  {
    Progress progress;
    EXPECT_EQ(-101, limitedManager(five)->runUpdate(six, true, progress.callback()));
    expectRefused(progress, "five entries");
  }
  UXPackageLimits exactly = five;
  exactly.maxEntries = 6;
  EXPECT_EQ(0, limitedManager(exactly)->runUpdate(six, true, nullptr));
  EXPECT_EQ("new 1.1.0", TempDir::read(html + "/store/index.html"));
}

TEST_F(UXUpdateManagerTest, APackageSwappedAfterItsManifestWasReadIsNotWhatIsUnpacked) {
  // Another package for the same UI and version, with other files.
  const std::string other = package({}, "other.zip", [](const std::string& folder) {
    std::ofstream(folder + "/store/index.html") << "swapped";
    std::ofstream(folder + "/store/planted.js") << "planted";
  });
  for (bool inPlace : {false, true}) {
    const std::string archive = package();
    // The business logic is asked while the package is validated.
    agent.onNextQuery([&](const std::string&) {
      if (inPlace) {
        std::ofstream(archive, std::ios::binary | std::ios::trunc) << TempDir::read(other);
      } else {
        fs::copy_file(other, archive + ".next");
        fs::rename(archive + ".next", archive);
      }
    });
    Progress progress;
    EXPECT_EQ(0, manager->runUpdate(archive, true, progress.callback()));
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), progress.messages());
    ASSERT_EQ(TempDir::read(other), TempDir::read(archive)) << "the swap did not happen";
    EXPECT_EQ("new 1.1.0", TempDir::read(html + "/store/index.html")) << inPlace;
    EXPECT_FALSE(fs::exists(html + "/store/planted.js")) << inPlace;
    ASSERT_EQ(0, manager->restoreRecovery());
  }
  // The private copies leave nothing beside the folders.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    if (entry.path().filename().string().rfind(".", 0) == 0) names.push_back(entry.path().filename());
  EXPECT_TRUE(names.empty());
}

TEST_F(UXUpdateManagerTest, AManifestStoredInAnotherCaseIsNeitherStagedNorActivated) {
  const std::string archive = package({}, "update.zip", [](const std::string& folder) {
    fs::rename(folder + "/UXUpdateManifest.xml", folder + "/uxupdatemanifest.XML");
  });
  EXPECT_EQ(0, manager->runUpdate(archive, false, nullptr));
  std::vector<std::string> staged;
  for (const auto& entry : fs::directory_iterator(dir.file("html_update"))) staged.push_back(entry.path().filename());
  EXPECT_EQ(std::vector<std::string>{"store"}, staged);
  EXPECT_EQ(0, manager->activateUpdate());
  EXPECT_EQ("new 1.1.0", TempDir::read(html + "/store/index.html"));
  EXPECT_FALSE(fs::exists(html + "/uxupdatemanifest.XML"));
}

TEST_F(UXUpdateManagerTest, FailedActivationPutsTheOldUIBack) {
  // The staged folder has a directory where the UI has a file: the copy fails.
  dir.write("html_update/store/zzz.js", "new");
  dir.write("html_update/store/index.html/inner.txt", "x");
  dir.write("html_update/store/aaa.js", "new");
  EXPECT_EQ(-105, manager->activateUpdate());
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
  EXPECT_FALSE(fs::exists(html + "/store/zzz.js"));
  EXPECT_FALSE(fs::exists(html + "/store/aaa.js"));
  EXPECT_EQ("old css", TempDir::read(html + "/store/css/site.css"));
  EXPECT_FALSE(manager->wasUpdated());
}

TEST_F(UXUpdateManagerTest, LinksAreCopiedAsLinksAndNeverFollowed) {
  // A link back up would make a following copy endless.
  fs::create_directory_symlink("..", html + "/store/loop");
  dir.write("html_update/store/index.html", "new");
  EXPECT_EQ(0, manager->activateUpdate());
  EXPECT_TRUE(fs::is_symlink(dir.file("html_recovery/store/loop")));
  EXPECT_EQ(0, manager->restoreRecovery());
  EXPECT_TRUE(fs::is_symlink(html + "/store/loop"));
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
}

TEST_F(UXUpdateManagerTest, RestoreThatCannotRebuildKeepsTheRecoveryCopy) {
  dir.write("html_recovery/store/index.html", "saved");
  fs::remove_all(html);
  std::ofstream(html) << "a file where the UI folder belongs";
  EXPECT_EQ(-106, manager->restoreRecovery());
  EXPECT_EQ("saved", TempDir::read(dir.file("html_recovery/store/index.html")));
}

TEST_F(UXUpdateManagerTest, OneUpdateAtATime) {
  Progress progress;
  const std::string archive = package();
  agent.hold();
  EXPECT_EQ(0, manager->startUpdate(archive, true, progress.callback()));
  ASSERT_TRUE(agent.waitForRequests(1));
  EXPECT_TRUE(manager->busy());
  EXPECT_EQ(-103, manager->startUpdate(archive, true, progress.callback()));
  EXPECT_EQ(-103, manager->runUpdate(archive, true, progress.callback()));
  EXPECT_EQ(-103, manager->activateUpdate());
  EXPECT_EQ(-103, manager->restoreRecovery());
  agent.release();
  manager->waitForUpdate();
  EXPECT_FALSE(manager->busy());
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), progress.messages());
  EXPECT_EQ("new 1.1.0", TempDir::read(html + "/store/index.html"));

  // The next one may start, joining the finished thread first.
  EXPECT_EQ(0, manager->startUpdate(dir.file("none.zip"), true, progress.callback()));
  manager->waitForUpdate();
  EXPECT_EQ("-100 Package not found", progress.messages().back());
}

TEST_F(UXUpdateManagerTest, DestructionEndsAWaitingUpdate) {
  Progress progress;
  manager->queryTimeoutSeconds = 600;
  agent.hold();
  EXPECT_EQ(0, manager->startUpdate(package(), true, progress.callback()));
  ASSERT_TRUE(agent.waitForRequests(1));
  // Interrupted in its wait for the business logic, the thread ends and is joined.
  manager.reset();
  EXPECT_EQ(std::vector<std::string>{"-101 Could not load UX Update package"}, progress.messages());
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
}

TEST_F(UXUpdateManagerTest, DirectoriesLieBesideANormalisedRoot) {
  UXUpdateManager trailing(html + "/");
  EXPECT_EQ(html, trailing.uxDirectory());
  EXPECT_EQ(dir.file("html_update"), trailing.updateDirectory());
  UXUpdateManager dotted(html + "/./store/..");
  EXPECT_EQ(dir.file("html_recovery"), dotted.recoveryDirectory());
  UXUpdateManager relative(".");
  EXPECT_EQ(fs::current_path().string(), relative.uxDirectory());
  EXPECT_EQ(fs::current_path().string() + "_update", relative.updateDirectory());
  // Without a root nothing can be touched.
  UXUpdateManager none("");
  EXPECT_EQ("", none.uxDirectory());
  EXPECT_EQ(-105, none.activateUpdate());
  EXPECT_EQ(0, none.restoreRecovery());
  UXUpdateManager root("/");
  EXPECT_EQ("", root.recoveryDirectory());
}

TEST_F(UXUpdateManagerTest, AUIManifestThatDisagreesWithThePackageIdIsRefused) {
  // A manifest outside the HTML root that a type like "../etc" would reach.
  dir.write("etc/UXManifest.xml", uxtest::uiManifest("../etc", "9.9.9", 7, 3));
  struct Case {
    std::string what;
    std::function<void(const std::string&)> change;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"a path as the type",
       [](const std::string& folder) {
         std::ofstream(folder + "/store/UXManifest.xml") << uxtest::uiManifest("../etc", "1.1.0", 7, 3);
       },
       "UIType of store/UXManifest.xml in the package does not match. (Expected: store, Found: ../etc)"},
      {"the path of the report",
       [](const std::string& folder) {
         std::ofstream(folder + "/store/UXManifest.xml") << uxtest::uiManifest("../../etc", "1.1.0", 7, 3);
       },
       "UIType of store/UXManifest.xml in the package does not match. (Expected: store, Found: ../../etc)"},
      {"another safe type",
       [](const std::string& folder) {
         std::ofstream(folder + "/store/UXManifest.xml") << uxtest::uiManifest("mobile", "1.1.0", 7, 3);
       },
       "UIType of store/UXManifest.xml in the package does not match. (Expected: store, Found: mobile)"},
      {"no type at all",
       [](const std::string& folder) { std::ofstream(folder + "/store/UXManifest.xml") << "<KivraUIDescriptor/>"; },
       "UIType of store/UXManifest.xml in the package does not match. (Expected: store, Found: )"},
      {"another folder's manifest",
       [](const std::string& folder) {
         fs::create_directories(folder + "/second");
         std::ofstream(folder + "/second/UXManifest.xml") << uxtest::uiManifest("store", "1.1.0", 7, 3);
       },
       "UIType of second/UXManifest.xml in the package does not match. (Expected: second, Found: store)"},
      {"the manifest in another case",
       [](const std::string& folder) {
         std::ofstream(folder + "/store/uxmanifest.XML") << uxtest::uiManifest("../etc", "1.1.0", 7, 3);
       },
       "UX manifest stored under another name in the package: store/uxmanifest.XML (expected: "
       "store/UXManifest.xml)"},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    Progress progress;
    EXPECT_EQ(-102, manager->runUpdate(package({}, "disagrees.zip", c.change), true, progress.callback())) << c.what;
    expectInvalid(progress, capture, c.why, c.what);
  }

  // An Id that is a path is refused before it names any folder.
  for (const std::string id : {"../html/store", "..", "store/../store", ".store"}) {
    LogCapture capture;
    Progress progress;
    uxtest::PackageFields fields;
    fields.id = id;
    EXPECT_EQ(-102, manager->runUpdate(package(fields, "id.zip"), true, progress.callback())) << id;
    expectInvalid(progress, capture,
                  "Invalid UI type in the package Id: " + id +
                      " (expected one folder name of letters, digits, '-', '_' and '.', not beginning with '.')",
                  id);
  }

  // A staged folder with such a manifest is not activated either.
  dir.write("html_update/store/index.html", "staged");
  dir.write("html_update/store/UXManifest.xml", uxtest::uiManifest("../etc", "1.1.0", 7, 3));
  {
    LogCapture capture;
    EXPECT_EQ(-105, manager->activateUpdate());
    EXPECT_EQ((std::vector<std::string>{
                  "ERROR UIType of the UX manifest does not match its folder. (Folder: store, UIType: ../etc)",
                  "ERROR UIType of store/UXManifest.xml in the package does not match. (Expected: store, Found: "
                  "../etc)"}),
              capture.records());
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
  }
  fs::remove_all(dir.file("html_update"));

  // A package that agrees goes through.
  EXPECT_EQ(0, manager->runUpdate(package(), true, nullptr));
  EXPECT_EQ("1.1.0", manager->getUxVersion());
}

TEST_F(UXUpdateManagerTest, AnInstalledManifestNamingAPathKeepsTheUITypeThroughActivateAndRestore) {
  // As a package let through before would have left it: the installed manifest
  // names a folder outside the HTML root, where another manifest lies.
  dir.write("etc/UXManifest.xml", uxtest::uiManifest("../etc", "9.9.9", 7, 3));
  dir.write("html/store/UXManifest.xml", uxtest::uiManifest("../etc", "1.0.5", 7, 3));
  contexts.holder().put("store", contexts.factory().create("store"));
  EXPECT_EQ("1.0.5", manager->getUxVersion());

  for (const char* version : {"1.1.0", "1.2.0"}) {
    uxtest::PackageFields fields;
    fields.version = version;
    Progress progress;
    ASSERT_EQ(0, manager->runUpdate(package(fields, std::string(version) + ".zip"), true, progress.callback()))
        << version;
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), progress.messages()) << version;
    EXPECT_EQ(version, manager->getUxVersion());
    EXPECT_EQ("store", contexts.get("store")->uiType());
    EXPECT_EQ(0, manager->restoreRecovery());
    // The old files, and the version of the manifest among them, not of one elsewhere.
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
    EXPECT_EQ("1.0.5", manager->getUxVersion()) << version;
    EXPECT_EQ("store", contexts.get("store")->uiType());
  }
}

TEST_F(UXUpdateManagerTest, APackageWithAFileTheServerReadsAsControlIsRefused) {
  // The file, and the entry named first (zip stores a folder before its files).
  const std::vector<std::pair<std::string, std::string>> files = {
      {"store/.htpasswd", "store/.htpasswd"},
      {".htpasswd", ".htpasswd"},
      {"store/css/.HTPASSWD", "store/css/.HTPASSWD"},
      {"store/x.htpasswd.bak", "store/x.htpasswd.bak"},
      {"store/.htpasswd/index.html", "store/.htpasswd/"}};
  for (const auto& [entry, named] : files) {
    LogCapture capture;
    Progress progress;
    const std::string archive = package({}, "control.zip", [&](const std::string& folder) {
      fs::create_directories(fs::path(folder + "/" + entry).parent_path());
      std::ofstream(folder + "/" + entry) << "user:realm:0123456789abcdef0123456789abcdef\n";
    });
    EXPECT_EQ(-102, manager->runUpdate(archive, true, progress.callback())) << entry;
    expectInvalid(progress, capture, "Package file is a web server control file, not UI content: " + named, entry);
    EXPECT_FALSE(fs::exists(html + "/store/.htpasswd")) << entry;
  }

  // Unpacked without the manager, the package still writes nothing.
  const std::string archive = dir.file("control.zip");
  KivraUXUpdatePackage alone;
  alone.readDescriptor(archive);
  EXPECT_EQ("store/.htpasswd/", alone.controlEntry());
  EXPECT_THROW(alone.unPackage(archive, dir.file("alone")), UXUpdatePackageException);
  EXPECT_FALSE(fs::exists(dir.file("alone/store/index.html")));

  // Nor is a staged one activated.
  dir.write("html_update/store/index.html", "staged");
  dir.write("html_update/store/.htpasswd", "user:realm:x\n");
  {
    LogCapture capture;
    EXPECT_EQ(-105, manager->activateUpdate());
    EXPECT_EQ(std::vector<std::string>{
                  "ERROR Package file is a web server control file, not UI content: store/.htpasswd"},
              capture.records());
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
    EXPECT_FALSE(fs::exists(html + "/store/.htpasswd"));
  }
}

TEST_F(UXUpdateManagerTest, StagingAndRecoveryFoldersAreOursAlone) {
  // Made by the manager: closed to everyone else.
  ASSERT_EQ(0, manager->runUpdate(package(), false, nullptr));
  EXPECT_EQ(0700u, mode(dir.file("html_update")));
  ASSERT_EQ(0, manager->activateUpdate());
  EXPECT_EQ(0700u, mode(dir.file("html_recovery")));
  ASSERT_EQ(0, manager->restoreRecovery());
  EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));

  // Folders of this user's that others may change, or links, are refused.
  const std::string planted = dir.file("planted");
  dir.write("planted/store/index.html", "planted");
  struct Case {
    std::string folder;  // "html_update" or "html_recovery"
    std::function<void(const std::string&)> make;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"html_recovery",
       [&](const std::string& path) {
         fs::copy(planted, path, fs::copy_options::recursive);
         chmod(path.c_str(), 0777);
       },
       "may be written by others (mode 0777)"},
      {"html_recovery",
       [&](const std::string& path) {
         fs::copy(planted, path, fs::copy_options::recursive);
         chmod(path.c_str(), 0775);
       },
       "may be written by its group (mode 0775)"},
      {"html_recovery", [&](const std::string& path) { fs::create_directory_symlink(planted, path); },
       "is a symbolic link"},
      {"html_update",
       [&](const std::string& path) {
         fs::copy(planted, path, fs::copy_options::recursive);
         chmod(path.c_str(), 0777);
       },
       "may be written by others (mode 0777)"},
      {"html_update", [&](const std::string& path) { fs::create_directory_symlink(planted, path); },
       "is a symbolic link"},
      {"html_update", [&](const std::string& path) { std::ofstream(path) << "a file"; }, "is not a folder"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file(c.folder);
    const std::string refused = "ERROR UX update folder refused: " + path + " " + c.reason;
    const std::string what = c.folder + " " + c.reason;
    c.make(path);
    if (c.folder == "html_recovery") {
      LogCapture capture;
      EXPECT_EQ(-106, manager->restoreRecovery()) << what;
      EXPECT_EQ(std::vector<std::string>{refused}, capture.records()) << what;
      // An activation would copy the UI into it: refused as well.
      dir.write("html_update/store/index.html", "staged");
      EXPECT_EQ(-105, manager->activateUpdate()) << what;
      EXPECT_EQ(refused, capture.records().back()) << what;
      fs::remove_all(dir.file("html_update"));
    } else {
      LogCapture capture;
      EXPECT_EQ(-105, manager->activateUpdate()) << what;
      EXPECT_EQ(std::vector<std::string>{refused}, capture.records()) << what;
      Progress progress;
      EXPECT_EQ(-101, manager->runUpdate(package(), false, progress.callback())) << what;
      EXPECT_EQ(std::vector<std::string>{"-101 Could not load UX Update package"}, progress.messages()) << what;
      std::vector<std::string> records = capture.records();
      ASSERT_GE(records.size(), 2u) << what;
      EXPECT_EQ(refused, records[records.size() - 2]) << what;
      EXPECT_EQ("ERROR Could not load UX Update package ", records.back()) << what;
    }
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html")) << what;
    EXPECT_EQ("planted", TempDir::read(planted + "/store/index.html")) << what;
    EXPECT_EQ("1.0.5", manager->getUxVersion()) << what;
    fs::remove_all(path);
  }
}

TEST_F(UXUpdateManagerTest, AnotherUsersStagingOrRecoveryFolderNeverBecomesTheUI) {
  if (!otheruser::available()) GTEST_SKIP() << "needs root and setpriv to act as another user";
  // The HTML root lies in a folder that every user may write, as /tmp.
  ASSERT_EQ(0, chmod(dir.path().c_str(), 01777));
  const std::string owner = "is owned by uid " + std::to_string(otheruser::kUid) + ", not by this user (uid " +
                            std::to_string(geteuid()) + ")";
  auto plant = [&](const std::string& folder) {
    const std::string path = dir.file(folder);
    ASSERT_EQ(0, otheruser::run("mkdir -p '" + path + "/store' && printf planted > '" + path +
                                "/store/index.html' && chmod -R 755 '" + path + "'"));
  };

  // A recovery copy of theirs: neither restored nor filled by an activation.
  plant("html_recovery");
  {
    LogCapture capture;
    EXPECT_EQ(-106, manager->restoreRecovery());
    EXPECT_EQ(std::vector<std::string>{"ERROR UX update folder refused: " + dir.file("html_recovery") + " " + owner},
              capture.records());
    Progress progress;
    EXPECT_EQ(-105, manager->runUpdate(package(), true, progress.callback()));
    EXPECT_EQ((std::vector<std::string>{"1", "-105 The update could not be activated."}), progress.messages());
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
    EXPECT_EQ(-106, manager->restoreRecovery());
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
    EXPECT_EQ("planted", TempDir::read(dir.file("html_recovery/store/index.html")));
    EXPECT_FALSE(manager->wasUpdated());
  }
  ASSERT_EQ(0, otheruser::run("rm -rf '" + dir.file("html_recovery") + "'"));
  fs::remove_all(dir.file("html_update"));

  // A staging folder of theirs: neither activated nor staged into.
  plant("html_update");
  {
    LogCapture capture;
    EXPECT_EQ(-105, manager->activateUpdate());
    EXPECT_EQ(std::vector<std::string>{"ERROR UX update folder refused: " + dir.file("html_update") + " " + owner},
              capture.records());
    Progress progress;
    EXPECT_EQ(-101, manager->runUpdate(package(), true, progress.callback()));
    EXPECT_EQ(std::vector<std::string>{"-101 Could not load UX Update package"}, progress.messages());
    EXPECT_EQ("old", TempDir::read(html + "/store/index.html"));
    EXPECT_EQ("planted", TempDir::read(dir.file("html_update/store/index.html")));
    EXPECT_FALSE(fs::exists(dir.file("html_recovery")));
  }
  ASSERT_EQ(0, otheruser::run("rm -rf '" + dir.file("html_update") + "'"));

  // Gone, the folders are made by the manager and the update goes through.
  EXPECT_EQ(0, manager->runUpdate(package(), true, nullptr));
  EXPECT_EQ("new 1.1.0", TempDir::read(html + "/store/index.html"));
  EXPECT_EQ(0700u, mode(dir.file("html_recovery")));
}

}  // namespace

namespace {

size_t threadCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

}  // namespace

// A version has components when it begins with an ASCII digit, whatever
// follows (the pattern "(\d+|((\d+\.)+\d+))(\w|\W)*" matched just those).
TEST(UXUpdateVersionTest, ComponentsWhereThePatternMatched) {
  using Components = std::vector<std::string>;
  struct Case {
    std::string version;
    Components components;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"1", {"1"}},
      {"1.2.3", {"1", "2", "3"}},
      {"1.2.3-beta", {"1", "2", "3-beta"}},
      {"1a.b", {"1a", "b"}},
      {"1.", {"1", ""}},
      {"1..2", {"1", "", "2"}},
      {"1\n.2", {"1\n", "2"}},
      {std::string("1\0.2", 4), {std::string("1\0", 2), "2"}},
      {"9\xFF", {"9\xFF"}},
      {"a1", {}},
      {".1", {}},
      {" 1", {}},
      {"\xD9\xA3.\xD9\xA4", {}},  // other scripts' digits are no digits here
  };
  for (const Case& c : cases) EXPECT_EQ(c.components, UXUpdateManager::versionComponents(c.version)) << c.version;
}

// A megabyte version reads like a short one, at once. (The pattern gave up on
// versions past about 47 KB, which then counted as 0.)
TEST(UXUpdateVersionTest, AMegabyteVersionReadsLikeAShortOne) {
  const auto start = std::chrono::steady_clock::now();
  const std::string tail(1 << 20, 'x');
  EXPECT_EQ(1, UXUpdateManager::compareVersions("1.1.0" + tail, "1.0.5"));
  EXPECT_EQ(0, UXUpdateManager::compareVersions("1.1." + tail, "1.1"));
  std::string dotted;
  for (int i = 0; i < 300000; ++i) dotted += "1.";
  EXPECT_EQ(1, UXUpdateManager::compareVersions(dotted + "2", dotted + "1"));
  EXPECT_EQ(-1, UXUpdateManager::compareVersions("x" + tail, "0.0.1"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The business logic's JSON replies as the patterns "(\d+)" and
// "(\d+\.\d+\.\d+)" read them: Unicode's decimal digits of the basic plane.
TEST(UXUpdateRepliesTest, DeviceTypeAndVersionWhereThePatternsFoundThem) {
  struct DeviceCase {
    std::string reply;
    bool found;
    int32_t deviceType;
  };
  const std::vector<DeviceCase> devices = {
      {"{\"deviceType\":12,\"other\":3}", true, 12},
      {"x007y", true, 7},
      {"2147483647", true, 2147483647},
      {"0000000000002147483647", true, 2147483647},
      {"\xF0\x9D\x9F\x8E" "5", true, 5},  // a digit of another plane is no digit
      {"\xFF" "5", true, 5},
      {"2147483648", false, 0},           // the first run is too large: no later one counts
      {"99999999999999999999 1", false, 0},
      {"\xD9\xA3 5", false, 0},           // the first run is of other digits: no number
      {"x5\xD9\xA3", false, 0},
      {"\xEF\xBC\x93", false, 0},
      {"none", false, 0},
      {"", false, 0},
  };
  for (const DeviceCase& c : devices) {
    int32_t deviceType = -1;
    EXPECT_EQ(c.found, UXUpdateManager::deviceTypeInText(c.reply, deviceType)) << c.reply;
    if (c.found) {
      EXPECT_EQ(c.deviceType, deviceType) << c.reply;
    }
  }
  struct VersionCase {
    std::string reply, version;
  };
  const std::vector<VersionCase> versions = {
      {"3.4.5.6", "3.4.5"},
      {"1.2.x 3.4.5", "3.4.5"},
      {"1..2.3.4", "2.3.4"},
      {"12.34.56abc", "12.34.56"},
      {".1.2.3", "1.2.3"},
      {"1.2.3\xF0\x9D\x9F\x8E", "1.2.3"},
      {"1.\xFF" "2.3 4.5.6", "4.5.6"},
      {"\xD9\xA3.\xD9\xA4.\xD9\xA5", "\xD9\xA3.\xD9\xA4.\xD9\xA5"},
      {"1.2.\xEF\xBC\x93", "1.2.\xEF\xBC\x93"},
      {"v1.2", ""},
      {"1.2.", ""},
  };
  for (const VersionCase& c : versions) {
    std::string version;
    EXPECT_EQ(!c.version.empty(), UXUpdateManager::clientVersionInText(c.reply, version)) << c.reply;
    EXPECT_EQ(c.version, version) << c.reply;
  }
}

TEST(UXUpdateRepliesTest, MegabyteRepliesNeedNeitherAStackNorLong) {
  const auto start = std::chrono::steady_clock::now();
  int32_t deviceType = 0;
  std::string version;
  const std::string letters(1 << 20, 'x');
  EXPECT_FALSE(UXUpdateManager::deviceTypeInText(letters, deviceType));
  EXPECT_TRUE(UXUpdateManager::deviceTypeInText(letters + "42", deviceType));
  EXPECT_EQ(42, deviceType);
  EXPECT_FALSE(UXUpdateManager::deviceTypeInText(std::string(1 << 20, '7'), deviceType));
  std::string pairs;
  while (pairs.size() < (1u << 20)) pairs += "1.2 ";
  EXPECT_FALSE(UXUpdateManager::clientVersionInText(pairs, version));
  EXPECT_TRUE(UXUpdateManager::clientVersionInText(pairs + "7.8.9", version));
  EXPECT_EQ("7.8.9", version);
  const std::string digits(1 << 20, '1');
  EXPECT_TRUE(UXUpdateManager::clientVersionInText(digits + "." + digits + "." + digits, version));
  EXPECT_EQ(3 * digits.size() + 2, version.size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The stop that destruction makes ends the wait for the business logic at
// once, logs it as the interruption it replaces, and leaves no thread.
TEST_F(UXUpdateManagerTest, DestructionStopsPromptlyAndLeavesNoThread) {
  Progress progress;
  manager->queryTimeoutSeconds = 600;
  agent.hold();
  EXPECT_EQ(0, manager->startUpdate(package(), true, progress.callback()));
  ASSERT_TRUE(agent.waitForRequests(1));
  // The update thread and the dispatcher's, one of them held by the agent.
  const size_t waiting = threadCount();
  const auto start = std::chrono::steady_clock::now();
  manager.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(waiting - 1, threadCount());
  EXPECT_EQ(std::vector<std::string>{"-101 Could not load UX Update package"}, progress.messages());
  const std::vector<std::string> logged = errors();
  ASSERT_EQ(2u, logged.size());
  EXPECT_EQ("Thread interrupted while waiting for response.", logged[0]);
  EXPECT_EQ("Could not load UX Update package ", logged[1]);
}
