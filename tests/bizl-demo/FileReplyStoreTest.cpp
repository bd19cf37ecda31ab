#include "bizl-demo/FileReplyStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "bizl-demo/Catalog.h"
#include "bizl-demo/RequestError.h"
#include "support/TempDir.h"

using bizl::FileReplyStore;

namespace {

// A clock an hour ahead: every file written by the test has settled.
int64_t anHourLater() { return bizl::FileStamp::now() + 3600LL * 1'000'000'000; }

// Writes the file under another name and renames it over `name`, as editors save.
void replace(const TempDir& data, const std::string& name, const std::string& text) {
  data.write(name + ".new", text);
  std::filesystem::rename(data.file(name + ".new"), data.file(name));
}

std::string textOf(const bizl::DataText& text) { return text ? *text : "<none>"; }

}  // namespace

TEST(FileReplyStoreTest, ReadsCompactTextAndListsXmlFiles) {
  TempDir data;
  data.write("replies/1.0/Catalog/getBanners.xml", "<!-- banners -->\n<Response>\n  <A>1</A>\n</Response>\n");
  data.write("apps/b.xml", "<App/>");
  data.write("apps/a.xml", "<App/>");
  data.write("apps/readme.txt", "not a record");
  data.write("apps/sub/c.xml", "<App/>");
  FileReplyStore store(data.path());
  bizl::DataText text = store.read("replies/1.0/Catalog/getBanners.xml");
  ASSERT_TRUE(text);
  EXPECT_EQ("<Response><A>1</A></Response>", *text);
  EXPECT_FALSE(store.read("replies/1.0/Catalog/none.xml"));
  EXPECT_FALSE(store.read("apps"));  // a folder
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), store.list("apps"));
  EXPECT_TRUE(store.list("nothing").empty());
}

TEST(FileReplyStoreTest, NamesCannotLeaveTheFolder) {
  TempDir data;
  data.write("inside/x.xml", "<x/>");
  data.write("secret.xml", "<secret/>");
  FileReplyStore store(data.path() + "/inside");
  for (const char* name : {"../secret.xml", "/etc/passwd", "./x.xml", "a//x.xml", "x.xml/", "..", "x\\..\\x.xml", "x.xml\n", ""}) {
    EXPECT_FALSE(FileReplyStore::isSafeName(name)) << name;
    EXPECT_FALSE(store.read(name)) << name;
  }
  EXPECT_TRUE(FileReplyStore::isSafeName("a.b/c-d_e.xml"));
  EXPECT_TRUE(store.list("..").empty());
  EXPECT_TRUE(store.read("x.xml"));
}

TEST(CatalogTest, RecordsKeepTheirFieldsAsXml) {
  bizl::Record record = bizl::Catalog::parseRecord(
      "<App><Name>Photo &amp; Video</Name><Reviews><Review><Rating>5</Rating></Review></Reviews><Empty/></App>", "t");
  EXPECT_EQ("Photo &amp; Video", record["Name"]);
  EXPECT_EQ("Photo & Video", bizl::plainText(record, "Name"));
  EXPECT_EQ("<Review><Rating>5</Rating></Review>", record["Reviews"]);
  EXPECT_EQ("", record["Empty"]);
  EXPECT_EQ("", bizl::plainText(record, "Missing"));
  // Text without markup or references is taken as it stands, as the parser keeps it.
  record["Lines"] = "one\r\ntwo";
  EXPECT_EQ("one\r\ntwo", bizl::plainText(record, "Lines"));
  record["Lines"] = "one\r\n&lt;two";
  EXPECT_EQ("one\r\n<two", bizl::plainText(record, "Lines"));
  record["Plain"] = "A-1 ]]";
  EXPECT_EQ("A-1 ]]", bizl::plainText(record, "Plain"));
  EXPECT_THROW(bizl::Catalog::parseRecord("<App><Name></App>", "apps/x.xml"), bizl::RequestError);
}

TEST(CatalogTest, TheIdIsTheFileName) {
  TempDir data;
  data.write("apps/app-7.xml", "<App><Id>forged</Id><Name>Seven</Name></App>");
  data.write("users.xml", "<Users><User><Mail>A@Example.test</Mail></User><User><Mail>b@example.test</Mail></User></Users>");
  bizl::Catalog catalog(std::make_shared<FileReplyStore>(data.path()));
  bizl::RecordPtr record = catalog.app("app-7");
  ASSERT_TRUE(record);
  EXPECT_EQ("app-7", record->at("Id"));
  EXPECT_FALSE(catalog.app("app-8"));
  EXPECT_FALSE(catalog.app("../users"));
  ASSERT_EQ(1u, catalog.apps().size());
  record = catalog.user("a@example.TEST");
  ASSERT_TRUE(record);
  EXPECT_EQ("A@Example.test", record->at("Mail"));
  EXPECT_FALSE(catalog.user(""));
  EXPECT_FALSE(catalog.user("c@example.test"));
}

TEST(FileReplyStoreCacheTest, ASettledFileIsReadOnceUntilItChanges) {
  TempDir data;
  data.write("a.xml", "<a>1</a>");
  FileReplyStore store(data.path(), &anHourLater);
  bizl::DataText first = store.read("a.xml");
  EXPECT_EQ(first, store.read("a.xml"));
  EXPECT_EQ(1u, store.loads());

  data.write("a.xml", "<a>22</a>");  // in place
  EXPECT_EQ("<a>22</a>", textOf(store.read("a.xml")));
  replace(data, "a.xml", "<a>33</a>");
  EXPECT_EQ("<a>33</a>", textOf(store.read("a.xml")));
  EXPECT_EQ(3u, store.loads());
  EXPECT_EQ("<a>1</a>", *first);  // a holder keeps the version it had
}

// Saves of the same size in quick succession, each read at once. (Whether two of
// them share their times depends on the kernel; StampedCacheTest covers that case.)
TEST(FileReplyStoreCacheTest, AFileSavedAgainAtOnceIsSeenEachTime) {
  TempDir data;
  FileReplyStore store(data.path());
  for (int round = 0; round < 20; ++round) {
    const std::string before = "<a>" + std::to_string(round % 10) + "x</a>";
    const std::string after = "<a>" + std::to_string(round % 10) + "y</a>";
    data.write("a.xml", before);
    ASSERT_EQ(before, textOf(store.read("a.xml")));
    data.write("a.xml", after);
    ASSERT_EQ(after, textOf(store.read("a.xml"))) << "round " << round;
  }
}

TEST(FileReplyStoreCacheTest, DeletedFilesAndFoldersLeaveTheCache) {
  TempDir data;
  data.write("apps/a.xml", "<App/>");
  data.write("apps/b.xml", "<App/>");
  FileReplyStore store(data.path(), &anHourLater);
  ASSERT_TRUE(store.read("apps/a.xml"));
  ASSERT_EQ((std::vector<std::string>{"a", "b"}), store.list("apps"));
  EXPECT_EQ(2u, store.cached());

  std::filesystem::remove(data.file("apps/a.xml"));
  EXPECT_FALSE(store.read("apps/a.xml"));
  EXPECT_EQ((std::vector<std::string>{"b"}), store.list("apps"));
  EXPECT_EQ(1u, store.cached());
  data.write("apps/c.xml", "<App/>");
  EXPECT_EQ((std::vector<std::string>{"b", "c"}), store.list("apps"));

  std::filesystem::remove_all(data.file("apps"));
  EXPECT_TRUE(store.list("apps").empty());
  EXPECT_EQ(0u, store.cached());
}

TEST(FileReplyStoreCacheTest, FilesThatCannotServeAreRefused) {
  TempDir data;
  data.write("big.xml", std::string(FileReplyStore::kMaxFileSize + 1, 'x'));
  data.write("dir.xml/inner.xml", "<x/>");
  FileReplyStore store(data.path(), &anHourLater);
  EXPECT_FALSE(store.read("big.xml"));
  EXPECT_FALSE(store.read("dir.xml"));
  data.write("big.xml", "<small/>");
  EXPECT_EQ("<small/>", textOf(store.read("big.xml")));
}

// Readers racing a writer get whole versions, and once the writer is done the
// last version, never one that a slow reader stored late.
TEST(FileReplyStoreCacheTest, ConcurrentReadersEndOnTheLastVersion) {
  TempDir data;
  replace(data, "a.xml", "<v>0</v>");
  FileReplyStore store(data.path(), &anHourLater);
  std::atomic<bool> writing{true};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r)
    readers.emplace_back([&] {
      while (writing) {
        const std::string text = textOf(store.read("a.xml"));
        if (text.compare(0, 3, "<v>") != 0 || text.compare(text.size() - 4, 4, "</v>") != 0) ++torn;
      }
    });
  for (int version = 1; version <= 200; ++version) replace(data, "a.xml", "<v>" + std::to_string(version) + "</v>");
  writing = false;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_EQ("<v>200</v>", textOf(store.read("a.xml")));
}

TEST(CatalogTest, RecordsAreParsedOncePerVersionOfTheirFile) {
  TempDir data;
  data.write("apps/app-1.xml", "<App><Name>One</Name></App>");
  data.write("apps/app-2.xml", "<App><Name>Two</Name></App>");
  data.write("users.xml", "<Users><User><Mail>a@b.test</Mail></User></Users>");
  bizl::Catalog catalog(std::make_shared<FileReplyStore>(data.path(), &anHourLater));
  bizl::RecordPtr one = catalog.app("app-1");
  ASSERT_TRUE(one);
  EXPECT_EQ(one, catalog.app("app-1"));
  EXPECT_EQ(one, catalog.apps().front());
  EXPECT_EQ(catalog.user("a@b.test"), catalog.user("A@B.test"));

  replace(data, "apps/app-1.xml", "<App><Name>Uno</Name></App>");
  replace(data, "users.xml", "<Users><User><Mail>c@d.test</Mail></User></Users>");
  bizl::RecordPtr changed = catalog.app("app-1");
  ASSERT_TRUE(changed);
  EXPECT_EQ("Uno", changed->at("Name"));
  EXPECT_EQ("One", one->at("Name"));
  EXPECT_FALSE(catalog.user("a@b.test"));
  EXPECT_TRUE(catalog.user("c@d.test"));

  std::filesystem::remove(data.file("apps/app-1.xml"));
  std::filesystem::remove(data.file("users.xml"));
  EXPECT_FALSE(catalog.app("app-1"));
  ASSERT_EQ(1u, catalog.apps().size());
  EXPECT_EQ("app-2", catalog.apps().front()->at("Id"));
  EXPECT_FALSE(catalog.user("c@d.test"));
}
