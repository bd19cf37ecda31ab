// The folder work of activation and restore, on real trees with files, links
// and a pipe.

#include "ostrel/updates/UXFolders.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ostrel/updates/UnzipExtract.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Every entry below `root`, sorted, as "path kind[ content or target]".
std::vector<std::string> tree(const std::string& root) {
  std::vector<std::string> entries;
  for (fs::recursive_directory_iterator entry(root), end; entry != end; ++entry) {
    const std::string name = entry->path().lexically_relative(root).string();
    const fs::file_status status = entry->symlink_status();
    if (fs::is_symlink(status)) {
      entries.push_back(name + " link " + fs::read_symlink(entry->path()).string());
    } else if (fs::is_directory(status)) {
      entries.push_back(name + " dir");
    } else if (fs::is_regular_file(status)) {
      entries.push_back(name + " file " + TempDir::read(entry->path().string()));
    } else {
      entries.push_back(name + " other");
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class UXFoldersTest : public ::testing::Test {
 protected:
  // A source with a file in a sub-folder, links to a file, to a folder and to
  // nothing, and a pipe.
  void SetUp() override {
    dir.write("src/index.html", "new index");
    dir.write("src/css/site.css", "new css");
    dir.write("src/css/deep/a.txt", "a");
    fs::create_symlink("index.html", dir.file("src/home.html"));
    fs::create_directory_symlink("css", dir.file("src/styles"));
    fs::create_symlink("nowhere", dir.file("src/dangling"));
    ASSERT_EQ(0, ::mkfifo(dir.file("src/pipe").c_str(), 0600));
    ::chmod(dir.file("src/index.html").c_str(), 0640);
  }
  TempDir dir;
};

TEST_F(UXFoldersTest, CopyMergesIntoTheDestinationKeepingLinksAndSkippingTheRest) {
  // What the destination holds: a file the source lacks, a folder where the
  // source has one, a file, a link and an empty folder where it has a file or
  // a link.
  dir.write("dst/keep.txt", "kept");
  dir.write("dst/index.html", "old index");
  dir.write("dst/css/site.css", "old css");
  fs::create_symlink("keep.txt", dir.file("dst/home.html"));
  fs::create_directory(dir.file("dst/dangling"));

  ASSERT_TRUE(UXFolders::copyRecursive(dir.file("src"), dir.file("dst")));
  EXPECT_EQ((std::vector<std::string>{"css dir", "css/deep dir", "css/deep/a.txt file a", "css/site.css file new css",
                                      "dangling link nowhere", "home.html link index.html", "index.html file new index",
                                      "keep.txt file kept", "styles link css"}),
            tree(dir.file("dst")));
  EXPECT_EQ(mode_t(0640), modeOf(dir.file("dst/index.html")));

  // Into a folder that does not exist yet, made with its parents.
  ASSERT_TRUE(UXFolders::copyRecursive(dir.file("src"), dir.file("fresh/a/b")));
  EXPECT_EQ((std::vector<std::string>{"css dir", "css/deep dir", "css/deep/a.txt file a", "css/site.css file new css",
                                      "dangling link nowhere", "home.html link index.html", "index.html file new index",
                                      "styles link css"}),
            tree(dir.file("fresh/a/b")));

  // A link to a folder is followed at the top only.
  fs::create_directory_symlink(dir.file("src/css"), dir.file("css-link"));
  ASSERT_TRUE(UXFolders::copyRecursive(dir.file("css-link"), dir.file("via-link")));
  EXPECT_EQ((std::vector<std::string>{"deep dir", "deep/a.txt file a", "site.css file new css"}),
            tree(dir.file("via-link")));

  // No source folder: nothing to do.
  EXPECT_TRUE(UXFolders::copyRecursive(dir.file("none"), dir.file("untouched")));
  EXPECT_TRUE(UXFolders::copyRecursive(dir.file("src/index.html"), dir.file("untouched")));
  EXPECT_FALSE(fs::exists(dir.file("untouched")));
}

TEST_F(UXFoldersTest, CopyStopsAtTheFirstError) {
  // A folder with content where the source has a file cannot be cleared.
  dir.write("dst/index.html/inside", "x");
  EXPECT_FALSE(UXFolders::copyRecursive(dir.file("src"), dir.file("dst")));
  EXPECT_EQ("x", TempDir::read(dir.file("dst/index.html/inside")));
  // A file where the source has a folder.
  dir.write("other/css", "file");
  EXPECT_FALSE(UXFolders::copyRecursive(dir.file("src"), dir.file("other")));
  EXPECT_EQ("file", TempDir::read(dir.file("other/css")));
  // A destination that is a file.
  dir.write("file-dst", "f");
  EXPECT_FALSE(UXFolders::copyRecursive(dir.file("src"), dir.file("file-dst")));
  EXPECT_EQ("f", TempDir::read(dir.file("file-dst")));
}

TEST_F(UXFoldersTest, EmptyingRemovesFoldersAndFilesOnly) {
  ASSERT_TRUE(UXFolders::emptyDirectory(dir.file("src")));
  EXPECT_EQ((std::vector<std::string>{"dangling link nowhere", "home.html link index.html", "pipe other",
                                      "styles link css"}),
            tree(dir.file("src")));
  EXPECT_TRUE(UXFolders::hasEntries(dir.file("src")));
  // Nothing there is nothing to empty; a file is no folder.
  EXPECT_TRUE(UXFolders::emptyDirectory(dir.file("none")));
  dir.write("plain", "p");
  EXPECT_FALSE(UXFolders::emptyDirectory(dir.file("plain")));
  EXPECT_EQ("p", TempDir::read(dir.file("plain")));
}

TEST_F(UXFoldersTest, RemovalTestsAndMaking) {
  EXPECT_TRUE(UXFolders::isDirectory(dir.file("src")));
  EXPECT_TRUE(UXFolders::isDirectory(dir.file("src/styles")));  // followed
  EXPECT_FALSE(UXFolders::isDirectory(dir.file("src/index.html")));
  EXPECT_FALSE(UXFolders::isDirectory(dir.file("none")));
  EXPECT_FALSE(UXFolders::isDirectory(""));

  fs::create_directory(dir.file("empty"));
  EXPECT_FALSE(UXFolders::hasEntries(dir.file("empty")));
  EXPECT_FALSE(UXFolders::hasEntries(dir.file("none")));
  EXPECT_FALSE(UXFolders::hasEntries(dir.file("src/index.html")));
  EXPECT_TRUE(UXFolders::hasEntries(dir.file("src/css")));

  // A link goes, not what it names.
  EXPECT_TRUE(UXFolders::removeAll(dir.file("src/styles")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("src/styles"))));
  EXPECT_EQ("new css", TempDir::read(dir.file("src/css/site.css")));
  EXPECT_TRUE(UXFolders::removeAll(dir.file("src")));
  EXPECT_FALSE(fs::exists(dir.file("src")));
  EXPECT_TRUE(UXFolders::removeAll(dir.file("none")));
  EXPECT_TRUE(UXFolders::removeAll(""));

  EXPECT_TRUE(UnzipExtract::makeDirectories(dir.file("made/a//b/./c/")));
  EXPECT_TRUE(fs::is_directory(dir.file("made/a/b/c")));
  EXPECT_TRUE(UnzipExtract::makeDirectories(dir.file("made/a")));  // already there
  dir.write("blocker", "b");
  EXPECT_FALSE(UnzipExtract::makeDirectories(dir.file("blocker/sub")));
  EXPECT_FALSE(UnzipExtract::makeDirectories(dir.file("blocker")));
  EXPECT_FALSE(UnzipExtract::makeDirectories(""));
}

}  // namespace
