// Digest authentication: per-directory ".htpasswd" files, "protect_uri" and
// "global_passwords_file", with raw requests and with curl --digest.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <regex>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"

using namespace enginetest;

namespace {

const char* const REALM = "testrealm@host.com";

// The example request of the digest authentication standard.
const char* const EXAMPLE_AUTH =
    "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
    "uri=\"/dir/index.html\", qop=auth, nc=00000001, cnonce=\"0a4f113b\", "
    "response=\"6629fae49393a05397450978507c4ef1\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";

std::string get(int port, const std::string& uri, const std::string& authorization = "") {
  std::string extra = authorization.empty() ? "" : "Authorization: " + authorization + "\r\n";
  return http_exchange(port, "GET " + uri + " HTTP/1.1\r\n" + extra + "\r\n");
}

std::string replace(std::string s, const std::string& from, const std::string& to) {
  size_t pos = s.find(from);
  if (pos != std::string::npos) s.replace(pos, from.size(), to);
  return s;
}

class EngineAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    www_ = dir_.dir("www");
    dir_.file("www/dir/index.html", "inside");
    dir_.file("www/dir/other.txt", "other");
    dir_.file("www/dir/.htpasswd", "Someone:testrealm@host.com:0123456789abcdef0123456789abcdef\n" +
                                       password_line("Mufasa", REALM, "Circle Of Life"));
    dir_.file("www/open.txt", "open");
  }
  TempDir dir_;
  std::string www_;
};

}  // namespace

TEST_F(EngineAuth, DigestCheckOfTheStandardExample) {
  std::mutex mutex;
  std::vector<std::string> users;
  TestEngine engine({"document_root", www_, "authentication_domain", REALM},
                    [&](mg_event event, Connection*, RequestInfo* info) -> void* {
                      if (event == EVT_REQUEST_DONE) {
                        std::lock_guard<std::mutex> lock(mutex);
                        users.push_back(info->remote_user != nullptr ? info->remote_user : "-");
                      }
                      return nullptr;
                    });
  ASSERT_TRUE(engine.started());

  std::string reply = get(engine.port(), "/dir/index.html");
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(reply));
  EXPECT_EQ("0", header_value(reply, "Content-Length"));
  EXPECT_TRUE(std::regex_match(header_value(reply, "WWW-Authenticate"),
                               std::regex("Digest qop=\"auth\", realm=\"testrealm@host\\.com\", nonce=\"\\d+\"")));

  reply = get(engine.port(), "/dir/index.html", EXAMPLE_AUTH);
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ("inside", body_of(reply));
  // The response compares without regard to case.
  std::string upper = replace(EXAMPLE_AUTH, "6629fae49393a05397450978507c4ef1", "6629FAE49393A05397450978507C4EF1");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(get(engine.port(), "/dir/index.html", upper)));

  const std::string refused[] = {
      replace(EXAMPLE_AUTH, "6629fae4", "6629fae5"),                       // wrong response
      replace(EXAMPLE_AUTH, "4ef1\"", "4ef\""),                            // 31 characters
      replace(EXAMPLE_AUTH, "qop=auth, ", ""),                             // no qop
      replace(EXAMPLE_AUTH, "nc=00000001", "nc=00000002"),                 // other counter
      replace(EXAMPLE_AUTH, "username=\"Mufasa\"", "username=\"Simba\""),  // unknown user
      replace(EXAMPLE_AUTH, "Digest ", "Basic "),
      "Digest realm=\"testrealm@host.com\"",  // no user at all
  };
  for (const std::string& auth : refused) {
    EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(get(engine.port(), "/dir/index.html", auth))) << auth;
  }
  // The same file under another realm does not let anyone in.
  TestEngine other_realm({"document_root", www_});
  ASSERT_TRUE(other_realm.started());
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(get(other_realm.port(), "/dir/index.html", EXAMPLE_AUTH)));

  // Directories without a password file are open.
  EXPECT_EQ("open", body_of(get(engine.port(), "/open.txt")));
  engine.halt();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_NE(users.end(), std::find(users.begin(), users.end(), "Mufasa"));
  EXPECT_NE(users.end(), std::find(users.begin(), users.end(), "Simba"));
}

TEST_F(EngineAuth, CurlDigestAndTheHiddenPasswordFile) {
  dir_.file("www/dir/sub/deeper.txt", "deeper");
  TestEngine engine({"document_root", www_, "authentication_domain", REALM});
  ASSERT_TRUE(engine.started());
  std::string base = "http://127.0.0.1:" + std::to_string(engine.port());
  std::string curl = "curl -sS --max-time 10 --digest ";
  int status = -1;
  EXPECT_EQ("other", run(curl + "-u 'Mufasa:Circle Of Life' " + base + "/dir/other.txt", &status));
  EXPECT_EQ(0, status);
  EXPECT_EQ("401", run(curl + "-u 'Mufasa:circle of life' -o /dev/null -w '%{http_code}' " + base + "/dir/other.txt"));
  EXPECT_EQ("401", run("curl -sS --max-time 10 -o /dev/null -w '%{http_code}' " + base + "/dir/other.txt"));

  // The listing, once allowed, never shows the password file; asking for it is forbidden.
  unlink((www_ + "/dir/index.html").c_str());
  std::string page = run(curl + "-u 'Mufasa:Circle Of Life' " + base + "/dir/");
  EXPECT_NE(std::string::npos, page.find(">other.txt</a>"));
  EXPECT_EQ(std::string::npos, page.find(".htpasswd"));
  EXPECT_EQ("403", run(curl + "-u 'Mufasa:Circle Of Life' -o /dev/null -w '%{http_code}' " + base + "/dir/.htpasswd"));
  // A password file guards its own directory only.
  EXPECT_EQ("deeper", run("curl -sS --max-time 10 " + base + "/dir/sub/deeper.txt"));
}

TEST_F(EngineAuth, ProtectUriAndGlobalFile) {
  std::string passwords = dir_.file("passwords", password_line("ann", "ostrel.local", "secret"));
  dir_.file("www/area/a.txt", "area");
  dir_.file("www/areas.txt", "plain prefix");
  TestEngine engine({"document_root", www_, "protect_uri", "/none=" + dir_.path() + "/missing,/area=" + passwords});
  ASSERT_TRUE(engine.started());
  std::string ok_auth = digest_authorization("ann", "ostrel.local", "secret", "GET", "/area/a.txt");
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(get(engine.port(), "/area/a.txt")));
  EXPECT_EQ("area", body_of(get(engine.port(), "/area/a.txt", ok_auth)));
  // The prefix is compared as plain bytes.
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(get(engine.port(), "/areas.txt")));
  // The protect_uri file wins over the directory's own.
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(get(engine.port(), "/dir/other.txt")));
  // A protected area whose password file is missing lets nobody in.
  dir_.file("www/none/n.txt", "n");
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(get(engine.port(), "/none/n.txt")));
  EXPECT_TRUE(engine.log().wait_for("check_authorization: cannot open " + dir_.path() + "/missing: ", 5000));
  EXPECT_EQ("open", body_of(get(engine.port(), "/open.txt")));

  std::string global = dir_.file("global", password_line("bob", "ostrel.local", "pw"));
  TestEngine guarded({"document_root", www_, "global_passwords_file", global});
  ASSERT_TRUE(guarded.started());
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(get(guarded.port(), "/open.txt")));
  EXPECT_EQ("open", body_of(get(guarded.port(), "/open.txt",
                                digest_authorization("bob", "ostrel.local", "pw", "GET", "/open.txt"))));
  // The directory's own file is not consulted.
  EXPECT_EQ("HTTP/1.1 401 Unauthorized",
            status_line(get(guarded.port(), "/dir/other.txt", EXAMPLE_AUTH)));
  // Gone after start: nobody is let in any more.
  unlink(global.c_str());
  EXPECT_EQ("HTTP/1.1 401 Unauthorized",
            status_line(get(guarded.port(), "/open.txt",
                            digest_authorization("bob", "ostrel.local", "pw", "GET", "/open.txt"))));
  EXPECT_TRUE(guarded.log().wait_for("fopen(" + global + "): ", 5000));
}
