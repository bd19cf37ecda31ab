// Server-side includes: the three kinds of #include, #exec, the nesting
// limit, the error reports, and includes that would leave the roots.
#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"

using namespace enginetest;

namespace {

class EngineSsi : public ::testing::Test {
 protected:
  void SetUp() override {
    www_ = dir_.dir("www");
    dir_.file("www/inc/v.txt", "[virtual]");
    dir_.file("www/inc/f.txt", "[file]");
    dir_.file("www/pages/rel.txt", "[relative]");
    dir_.file("www/pages/raw.txt", "<!--#include \"rel.txt\" -->");
    dir_.file("www/pages/nested.shtml", "(<!--#include \"rel.txt\" -->)");
    dir_.file("secret.txt", "SECRET");
    dir_.file("www/dl-target.txt", "[alias]");
  }

  std::string get(int port, const std::string& uri) {
    return http_exchange(port, "GET " + uri + " HTTP/1.1\r\n\r\n");
  }

  TempDir dir_;
  std::string www_;
};

}  // namespace

TEST_F(EngineSsi, IncludeOfEachKind) {
  dir_.file("www/pages/page.shtml",
            "A<!--#include virtual=\"/inc/v.txt\" -->B<!--#include file=\"" + www_ +
                "/inc/f.txt\" -->C<!--#include \"rel.txt\" -->D<!--#include \"nested.shtml\" -->"
                "E<!--#include \"raw.txt\" -->F<!-- plain comment -->G<!-x-><");
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/pages/page.shtml");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ("text/html", header_value(reply, "Content-Type"));
  EXPECT_EQ("close", header_value(reply, "Connection"));
  EXPECT_EQ(
      "A[virtual]B[file]C[relative]D([relative])E<!--#include \"rel.txt\" -->F<!-- plain comment -->G<!-x-><",
      body_of(reply));
  EXPECT_EQ("", body_of(http_exchange(engine.port(), "HEAD /pages/page.shtml HTTP/1.1\r\n\r\n")));
}

TEST_F(EngineSsi, NestingStopsAfterTenLevels) {
  dir_.file("www/self.shtml", "x<!--#include \"self.shtml\" -->y");
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  EXPECT_EQ(std::string(11, 'x') + std::string(11, 'y'), body_of(get(engine.port(), "/self.shtml")));
  EXPECT_TRUE(engine.log().wait_for("SSI #include level is too deep (" + www_ + "/self.shtml)", 5000));
}

TEST_F(EngineSsi, IncludesNeverLeaveTheRoots) {
  dir_.file("www/a/b/escape.shtml",
            "1<!--#include file=\"/etc/passwd\" -->"
            "2<!--#include \"../../../secret.txt\" -->"
            "3<!--#include virtual=\"/../secret.txt\" -->"
            "4<!--#include file=\"" + dir_.path() + "/www/../secret.txt\" -->"
            "5<!--#include virtual=\"/dl/dl-target.txt\" -->6<!--#include virtual=\"/inc/v.txt%00.x\" -->7");
  symlink((dir_.path() + "/secret.txt").c_str(), (www_ + "/link.txt").c_str());
  dir_.file("www/linked.shtml", "<!--#include \"link.txt\" -->!");
  TestEngine engine({"document_root", www_ + ",/dl/=" + www_ + "/"});
  ASSERT_TRUE(engine.started());
  std::string body = body_of(get(engine.port(), "/a/b/escape.shtml"));
  EXPECT_EQ("12345[alias]67", body);
  EXPECT_TRUE(engine.log().wait_for("Cannot open SSI #include: [ file=\"/etc/passwd\" --]: fopen(/etc/passwd): Permission denied", 5000));
  EXPECT_TRUE(engine.log().wait_for("fopen(" + www_ + "/a/b/../../../secret.txt): Permission denied", 5000));
  EXPECT_EQ("!", body_of(get(engine.port(), "/linked.shtml")));
}

TEST_F(EngineSsi, ExecAndTheErrorReports) {
  std::string long_tag = "<!--#include \"" + std::string(600, 'n') + "\" -->";
  dir_.file("www/pages/exec.shtml",
            "[<!--#exec \"echo hi; pwd\" -->]"
            "<!--#include nothing -->"
            "<!--#exec nothing -->"
            "<!--#echo var=\"X\" -->"
            "<!--#include \"missing.txt\" -->" +
                long_tag + "end");
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  char real_pages[PATH_MAX];
  ASSERT_NE(nullptr, realpath((www_ + "/pages").c_str(), real_pages));
  std::string body = body_of(get(engine.port(), "/pages/exec.shtml"));
  EXPECT_EQ("[hi\n" + std::string(real_pages) + "\n]" + long_tag + "end", body);
  EXPECT_TRUE(engine.log().wait_for("Bad SSI #include: [ nothing --]", 5000));
  EXPECT_TRUE(engine.log().wait_for("Bad SSI #exec: [ nothing --]", 5000));
  EXPECT_TRUE(engine.log().wait_for(www_ + "/pages/exec.shtml: unknown SSI command: \"echo var=\"X\" --\"", 5000));
  EXPECT_TRUE(engine.log().wait_for("Cannot open SSI #include: [ \"missing.txt\" --]: fopen(" + www_ +
                                        "/pages/missing.txt): No such file or directory",
                                    5000));
  EXPECT_TRUE(engine.log().wait_for(www_ + "/pages/exec.shtml: SSI tag is too large", 5000));
  EXPECT_FALSE(has_child_processes());
}
