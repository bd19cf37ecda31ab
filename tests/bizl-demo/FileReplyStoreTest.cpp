#include "bizl-demo/FileReplyStore.h"

#include <gtest/gtest.h>

#include "bizl-demo/Catalog.h"
#include "bizl-demo/RequestError.h"
#include "support/TempDir.h"

using bizl::FileReplyStore;

TEST(FileReplyStoreTest, ReadsCompactTextAndListsXmlFiles) {
  TempDir data;
  data.write("replies/1.0/Catalog/getBanners.xml", "<!-- banners -->\n<Response>\n  <A>1</A>\n</Response>\n");
  data.write("apps/b.xml", "<App/>");
  data.write("apps/a.xml", "<App/>");
  data.write("apps/readme.txt", "not a record");
  data.write("apps/sub/c.xml", "<App/>");
  FileReplyStore store(data.path());
  std::string text;
  ASSERT_TRUE(store.read("replies/1.0/Catalog/getBanners.xml", text));
  EXPECT_EQ("<Response><A>1</A></Response>", text);
  EXPECT_FALSE(store.read("replies/1.0/Catalog/none.xml", text));
  EXPECT_FALSE(store.read("apps", text));  // a folder
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), store.list("apps"));
  EXPECT_TRUE(store.list("nothing").empty());
}

TEST(FileReplyStoreTest, NamesCannotLeaveTheFolder) {
  TempDir data;
  data.write("inside/x.xml", "<x/>");
  data.write("secret.xml", "<secret/>");
  FileReplyStore store(data.path() + "/inside");
  std::string text;
  for (const char* name : {"../secret.xml", "/etc/passwd", "./x.xml", "a//x.xml", "x.xml/", "..", "x\\..\\x.xml", "x.xml\n", ""}) {
    EXPECT_FALSE(FileReplyStore::isSafeName(name)) << name;
    EXPECT_FALSE(store.read(name, text)) << name;
  }
  EXPECT_TRUE(store.list("..").empty());
  EXPECT_TRUE(store.read("x.xml", text));
}

TEST(CatalogTest, RecordsKeepTheirFieldsAsXml) {
  bizl::Record record = bizl::Catalog::parseRecord(
      "<App><Name>Photo &amp; Video</Name><Reviews><Review><Rating>5</Rating></Review></Reviews><Empty/></App>", "t");
  EXPECT_EQ("Photo &amp; Video", record["Name"]);
  EXPECT_EQ("Photo & Video", bizl::plainText(record, "Name"));
  EXPECT_EQ("<Review><Rating>5</Rating></Review>", record["Reviews"]);
  EXPECT_EQ("", record["Empty"]);
  EXPECT_EQ("", bizl::plainText(record, "Missing"));
  EXPECT_THROW(bizl::Catalog::parseRecord("<App><Name></App>", "apps/x.xml"), bizl::RequestError);
}

TEST(CatalogTest, TheIdIsTheFileName) {
  TempDir data;
  data.write("apps/app-7.xml", "<App><Id>forged</Id><Name>Seven</Name></App>");
  data.write("users.xml", "<Users><User><Mail>A@Example.test</Mail></User><User><Mail>b@example.test</Mail></User></Users>");
  bizl::Catalog catalog(std::make_shared<FileReplyStore>(data.path()));
  bizl::Record record;
  ASSERT_TRUE(catalog.app("app-7", record));
  EXPECT_EQ("app-7", record["Id"]);
  EXPECT_FALSE(catalog.app("app-8", record));
  EXPECT_FALSE(catalog.app("../users", record));
  ASSERT_EQ(1u, catalog.apps().size());
  ASSERT_TRUE(catalog.user("a@example.TEST", record));
  EXPECT_EQ("A@Example.test", record["Mail"]);
  EXPECT_FALSE(catalog.user("", record));
  EXPECT_FALSE(catalog.user("c@example.test", record));
}
