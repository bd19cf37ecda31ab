// Update packages: the manifest read out of the archive and the extraction,
// with archives made by the `zip` command.

#include "ostrel/updates/KivraUXUpdatePackage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "ostrel/updates/PackageArchive.h"
#include "ostrel/updates/UXUpdatePackageException.h"
#include "ostrel/updates/UnzipExtract.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tessaro/XMLTool.h"
#include "UXUpdateTestSupport.h"

namespace {

namespace fs = std::filesystem;

class KivraUXUpdatePackageTest : public ::testing::Test {
 protected:
  // A package of the UI files below "content/", built with zip.
  std::string package(const std::string& manifest, const std::string& name = "update.zip") {
    if (!manifest.empty()) dir.write("content/UXUpdateManifest.xml", manifest);
    dir.write("content/index.html", "<p>new</p>");
    dir.write("content/store/js/app.js", "app();");
    dir.write("content/store/img/deep/logo.png", std::string("\x89PNG\0\1", 6));
    fs::create_directories(dir.file("content/store/empty"));
    EXPECT_EQ(0, uxtest::zipFolder(dir.file("content"), dir.file(name)));
    return dir.file(name);
  }

  // What `unPackage` throws for the archive, empty when it does not.
  static std::string unpackError(const std::string& archive, const std::string& destination) {
    try {
      KivraUXUpdatePackage().unPackage(archive, destination);
    } catch (const UXUpdatePackageException& error) {
      EXPECT_EQ(-1, error.code());
      return error.what();
    }
    return "";
  }

  TempDir dir;
  LogCapture log;
};

TEST_F(KivraUXUpdatePackageTest, ManifestIsReadOutOfTheArchive) {
  uxtest::PackageFields fields;
  fields.id = "store";
  fields.version = "3.2.1";
  fields.hcVersion = "2.1";
  fields.osType = 9;
  fields.deviceType = 4;
  fields.storeId = 70;
  fields.affiliateId = -3;
  const std::string archive = package(uxtest::packageManifest(fields));

  KivraUXUpdatePackage read;
  read.readDescriptor(archive);
  EXPECT_EQ("store", read.Id);
  EXPECT_EQ("3.2.1", read.Version);
  EXPECT_EQ("2.1", read.HCVersion);
  EXPECT_EQ(9, read.OSType);
  EXPECT_EQ(4, read.DeviceType);
  EXPECT_EQ(70, read.StoreId);
  EXPECT_EQ(-3, read.AffiliateId);
  // Nothing was unpacked beside the archive.
  EXPECT_FALSE(fs::exists(dir.file("index.html")));

  // The entry name is found without regard to case.
  const std::string upper = dir.file("upper.zip");
  ASSERT_TRUE(uxtest::writeRawZip(upper, {{"UXUPDATEMANIFEST.XML", uxtest::packageManifest(fields)}}));
  KivraUXUpdatePackage fromUpper;
  fromUpper.readDescriptor(upper);
  EXPECT_EQ("3.2.1", fromUpper.Version);
}

TEST_F(KivraUXUpdatePackageTest, MissingFileOrManifestRaisesThePackageError) {
  const std::string missing = dir.file("missing.zip");
  try {
    KivraUXUpdatePackage().readDescriptor(missing);
    FAIL() << "no exception";
  } catch (const UXUpdatePackageException& error) {
    EXPECT_EQ(-1, error.code());
    EXPECT_EQ("[KivraUXUpdatePackage::readDescriptor] file not found. " + missing, std::string(error.what()));
  }

  // A manifest in a sub-folder is not the manifest.
  dir.write("content/sub/UXUpdateManifest.xml", uxtest::packageManifest({}));
  const std::string withoutManifest = package("");
  dir.write("not-a-zip.zip", "plain text");
  for (const std::string& archive : {withoutManifest, dir.file("not-a-zip.zip")}) {
    try {
      KivraUXUpdatePackage().readDescriptor(archive);
      FAIL() << "no exception for " << archive;
    } catch (const UXUpdatePackageException& error) {
      EXPECT_EQ("[KivraUXUpdatePackage::readDescriptor] Could not open descriptor file. " + archive,
                std::string(error.what()));
    }
  }
  std::vector<std::string> expected = {"ERROR File not found. ",
                                       "ERROR Could not open descriptor file." + withoutManifest,
                                       "ERROR Could not open descriptor file." + dir.file("not-a-zip.zip")};
  EXPECT_EQ(expected, log.records());
}

TEST_F(KivraUXUpdatePackageTest, MissingStoreIdIsTheReadersMandatoryElementError) {
  const std::string archive = package(uxtest::packageManifest({}, "StoreId"));
  KivraUXUpdatePackage read;
  try {
    read.readDescriptor(archive);
    FAIL() << "no exception";
  } catch (const tctl::mandatory_element_not_found_exception& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("StoreId")) << error.what();
  }
  // The elements before it were read.
  EXPECT_EQ(4, read.DeviceType);
}

TEST_F(KivraUXUpdatePackageTest, ConsoleTextsOfTheMemoryExtraction) {
  const std::string archive = package(uxtest::packageManifest({}));
  std::string text, stored;
  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, PackageArchive::open(dir.file("none.zip"), dir.path(), UXPackageLimits().maxPackageBytes));
  PackageArchivePtr open = PackageArchive::open(archive, dir.path(), UXPackageLimits().maxPackageBytes);
  ASSERT_NE(nullptr, open);
  EXPECT_FALSE(UnzipExtract::extractToMemory(open->zip(), "nothing.xml", text, stored));
  EXPECT_EQ("Cannot open " + dir.file("none.zip") + "\nnCannot locate the file nothing.xml\nn",
            testing::internal::GetCapturedStdout());

  // A manifest too large to hold in memory is refused rather than allocated.
  const std::string huge = dir.file("huge.zip");
  ASSERT_TRUE(uxtest::writeRawZip(huge, {{"UXUpdateManifest.xml", std::string(UnzipExtract::kMaxMemoryEntry + 1, ' ')}}));
  PackageArchivePtr hugeOpen = PackageArchive::open(huge, dir.path(), UXPackageLimits().maxPackageBytes);
  ASSERT_NE(nullptr, hugeOpen);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(UnzipExtract::extractToMemory(hugeOpen->zip(), "UXUpdateManifest.xml", text, stored));
  EXPECT_EQ("Cannot alloc memory for the current file: UXUpdateManifest.xml\nn", testing::internal::GetCapturedStdout());

  ASSERT_TRUE(UnzipExtract::extractToMemory(open->zip(), "uxupdatemanifest.xml", text, stored));
  EXPECT_EQ(uxtest::packageManifest({}), text);
  EXPECT_EQ("UXUpdateManifest.xml", stored);
  EXPECT_EQ(-1, UnzipExtract::extractAll(nullptr, 1, dir.file("out"), {}));
  EXPECT_EQ(-1, UnzipExtract::extractAll(open->zip(), open->size(), "", {}));
}

TEST_F(KivraUXUpdatePackageTest, UnpackWritesEveryFileButTheManifestWithItsFolders) {
  const std::string archive = package(uxtest::packageManifest({}));
  const std::string before = fs::current_path().string();
  // Extraction joins paths: the current directory never moves, not even meanwhile.
  std::atomic<bool> done{false}, moved{false};
  std::thread watcher([&] {
    while (!done)
      if (fs::current_path().string() != before) moved = true;
  });
  const std::string destination = dir.file("html_update");
  EXPECT_EQ("", unpackError(archive, destination));
  done = true;
  watcher.join();
  EXPECT_FALSE(moved);
  EXPECT_EQ(before, fs::current_path().string());

  EXPECT_EQ("<p>new</p>", TempDir::read(destination + "/index.html"));
  EXPECT_EQ("app();", TempDir::read(destination + "/store/js/app.js"));
  EXPECT_EQ(std::string("\x89PNG\0\1", 6), TempDir::read(destination + "/store/img/deep/logo.png"));
  EXPECT_TRUE(fs::is_directory(destination + "/store/empty"));
  EXPECT_FALSE(fs::exists(destination + "/UXUpdateManifest.xml"));

  // Unpacking again overwrites what is there.
  std::ofstream(destination + "/index.html") << "changed";
  EXPECT_EQ("", unpackError(archive, destination));
  EXPECT_EQ("<p>new</p>", TempDir::read(destination + "/index.html"));

  // Entries without folder entries of their own get their folders on demand.
  const std::string bare = dir.file("bare.zip");
  ASSERT_TRUE(uxtest::writeRawZip(bare, {{"a/b/c.txt", "c"}, {"win\\style\\d.txt", "d"}}));
  EXPECT_EQ("", unpackError(bare, dir.file("bare")));
  EXPECT_EQ("c", TempDir::read(dir.file("bare/a/b/c.txt")));
  EXPECT_EQ("d", TempDir::read(dir.file("bare/win/style/d.txt")));
}

TEST_F(KivraUXUpdatePackageTest, AManifestStoredInAnotherCaseIsRemovedUnderThatName) {
  dir.write("content/uxupdatemanifest.XML", uxtest::packageManifest({}));
  const std::string archive = package("");
  // Read first, then unpacked; and unpacked alone.
  KivraUXUpdatePackage read;
  read.readDescriptor(archive);
  EXPECT_EQ("store", read.Id);
  read.unPackage(archive, dir.file("read"));
  EXPECT_EQ("", unpackError(archive, dir.file("alone")));
  for (const std::string& destination : {dir.file("read"), dir.file("alone")}) {
    EXPECT_EQ("<p>new</p>", TempDir::read(destination + "/index.html"));
    EXPECT_FALSE(fs::exists(destination + "/uxupdatemanifest.XML")) << destination;
  }
}

TEST_F(KivraUXUpdatePackageTest, EntriesLeavingTheDestinationRefuseTheWholePackage) {
  // zip stores "../" as given when asked from a folder below.
  dir.write("content/inner/good.txt", "good");
  dir.write("content/escaped.txt", "evil");
  const std::string climbing = dir.file("climbing.zip");
  ASSERT_EQ(0, uxtest::zipPaths(dir.file("content/inner"), climbing, {"good.txt", "../escaped.txt"}));

  const std::string outside = dir.file("victim");
  fs::create_directories(dir.file("unpack/dest"));
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> crafted = {
      {"backslash.zip", {{"good.txt", "good"}, {"..\\..\\victim\\evil.txt", "evil"}}},
      {"nested.zip", {{"good.txt", "good"}, {"sub/../../../victim/evil.txt", "evil"}}},
      {"mixed.zip", {{"good.txt", "good"}, {"sub\\..\\../../victim/evil.txt", "evil"}}},
      {"absolute.zip", {{"good.txt", "good"}, {outside + "/evil.txt", "evil"}}},
      {"unc.zip", {{"good.txt", "good"}, {"\\\\server\\share\\evil.txt", "evil"}}},
      {"drive.zip", {{"good.txt", "good"}, {"C:\\victim\\evil.txt", "evil"}}},
      {"device.zip", {{"good.txt", "good"}, {"\\\\?\\C:\\evil.txt", "evil"}}},
  };
  std::vector<std::string> archives = {climbing};
  for (const auto& archive : crafted) {
    ASSERT_TRUE(uxtest::writeRawZip(dir.file(archive.first), archive.second));
    archives.push_back(dir.file(archive.first));
  }
  for (const std::string& archive : archives) {
    const std::string destination = dir.file("unpack/dest");
    EXPECT_EQ("[KivraUXUpdatePackage::unPackage] Couldn't unpackage UX update file " + archive,
              unpackError(archive, destination));
    // Refused before anything was written, inside or outside.
    EXPECT_TRUE(fs::is_empty(destination)) << archive;
  }
  EXPECT_FALSE(fs::exists(dir.file("unpack/escaped.txt")));
  EXPECT_FALSE(fs::exists(dir.file("victim")));
  std::vector<std::string> everything;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
    if (entry.path().filename() == "evil.txt") everything.push_back(entry.path());
  EXPECT_TRUE(everything.empty());

  for (const char* good : {"a.txt", "a/b.txt", "./a/b.txt", "a/./b", "a..b/c", "..a/b", "a/b..", "dir/"})
    EXPECT_TRUE(UnzipExtract::isContainedEntryName(good)) << good;
  for (const char* bad : {"", "..", "../a", "a/../../b", "a\\..\\..\\b", "/a", "\\a", "C:a", "c:/a", "COM1:"})
    EXPECT_FALSE(UnzipExtract::isContainedEntryName(bad)) << bad;
}

TEST_F(KivraUXUpdatePackageTest, AnEntryFailingMidwayFailsTheUnpack) {
  // "a" as a file, then "a/b" beneath it: the second cannot be written.
  const std::string conflicting = dir.file("conflicting.zip");
  ASSERT_TRUE(uxtest::writeRawZip(conflicting, {{"first.txt", "1"}, {"a", "file"}, {"a/b", "under a file"}}));
  EXPECT_EQ("[KivraUXUpdatePackage::unPackage] Couldn't unpackage UX update file " + conflicting,
            unpackError(conflicting, dir.file("out1")));

  // A damaged entry: its data no longer matches its checksum.
  const std::string damaged = dir.file("damaged.zip");
  const std::string data(4096, 'x');
  ASSERT_TRUE(uxtest::writeRawZip(damaged, {{"stored.txt", "plain"}, {"big.txt", data}}));
  std::string bytes = TempDir::read(damaged);
  // The compressed data of the second entry follows its local header and name.
  size_t at = bytes.find("big.txt");
  ASSERT_NE(std::string::npos, at);
  bytes[at + 7 + 4] = char(bytes[at + 7 + 4] ^ 0x55);
  std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_NE("", unpackError(damaged, dir.file("out2")));

  // Names longer than the limit are refused, not cut short to another name.
  const std::string longName = dir.file("long.zip");
  ASSERT_TRUE(uxtest::writeRawZip(longName, {{std::string(UnzipExtract::kMaxEntryName + 1, 'n'), "x"}}));
  EXPECT_NE("", unpackError(longName, dir.file("out3")));
  EXPECT_TRUE(!fs::exists(dir.file("out3")) || fs::is_empty(dir.file("out3")));

  EXPECT_NE("", unpackError(dir.file("none.zip"), dir.file("out4")));
}

}  // namespace
