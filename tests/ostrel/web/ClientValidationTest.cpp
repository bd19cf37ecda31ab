// Client validation as it really happens: the server runs under one account and
// curl clients under others.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "support/HttpExchange.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace {

const uid_t kServerUid = 65534;  // nobody
const uid_t kOtherUid = 1;       // daemon: another account, not an administrator

std::vector<std::string> asUser(uid_t uid, std::vector<std::string> command) {
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                   "--regid=" + std::to_string(uid), "--clear-groups", "--"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// HOST as a URL names it: "127.0.0.1" or "[::1]".
std::vector<std::string> curl(int port, const std::string& host = "127.0.0.1") {
  // The Host check knows no mapped address by name: only the road is tried.
  return {"/usr/bin/curl", "-s", "-g", "-i", "-H", "Host: 127.0.0.1:" + std::to_string(port),
          "http://" + host + ":" + std::to_string(port) + "/a.txt"};
}

TEST(ClientValidationTest, SameUserAndAdministratorsAllowedOthersRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root to run the server and clients under other accounts";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  dir.write("a.txt", "served");
  chmod(dir.file("a.txt").c_str(), 0644);

  int port = freePortOnEveryLoopback();
  Subprocess server(asUser(kServerUid, {WEB_FRONT_SERVER, std::to_string(port), dir.path()}));
  ASSERT_TRUE(server.waitForOutput("ready")) << server.output();

  // The same rule over either loopback family.
  // An IPv4-mapped address is the dual-stack road to the IPv4 listener.
  for (const std::string host : {"127.0.0.1", "[::1]", "[::ffff:127.0.0.1]"}) {
    SCOPED_TRACE(host);
    Subprocess sameUser(asUser(kServerUid, curl(port, host)));
    EXPECT_EQ(0, sameUser.wait());
    EXPECT_NE(std::string::npos, sameUser.output().find("HTTP/1.1 200 OK")) << sameUser.output();
    EXPECT_NE(std::string::npos, sameUser.output().find("served"));

    Subprocess otherUser(asUser(kOtherUid, curl(port, host)));
    EXPECT_EQ(0, otherUser.wait());
    EXPECT_EQ("HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n",
              otherUser.output());

    Subprocess administrator(curl(port, host));  // root
    EXPECT_EQ(0, administrator.wait());
    EXPECT_NE(std::string::npos, administrator.output().find("served")) << administrator.output();
  }

  server.signal(SIGTERM);
  EXPECT_EQ(0, server.wait());
}

TEST(ClientValidationTest, AnotherUsersUnfinishedHeadsHoldNoWorker) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root to run the server and clients under other accounts";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  dir.write("index.html", "home");
  chmod(dir.file("index.html").c_str(), 0644);

  // Four workers, a queue of twenty: 200 slow heads would hold them all for
  // the engine's 15 s head time-out if they were ever queued.
  int port = freeLoopbackPort();
  Subprocess server(asUser(kServerUid, {WEB_FRONT_SERVER, std::to_string(port), dir.path()}));
  ASSERT_TRUE(server.waitForOutput("ready")) << server.output();
  Subprocess crowd(asUser(kOtherUid, {HOLD_CONNECTIONS, std::to_string(port), "200"}));
  ASSERT_TRUE(crowd.waitForOutput("held 200\n")) << crowd.output();

  auto start = std::chrono::steady_clock::now();
  Subprocess owner(asUser(kServerUid, {"/usr/bin/curl", "-s", "--max-time", "10", "http://127.0.0.1:" +
                                                                                       std::to_string(port) + "/"}));
  EXPECT_EQ(0, owner.wait());
  EXPECT_EQ("home", owner.output());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  crowd.signal(SIGTERM);
  EXPECT_EQ(0, crowd.wait());
  EXPECT_NE(std::string::npos, crowd.output().find("forbidden=200 ended=200")) << crowd.output();
  server.signal(SIGTERM);
  EXPECT_EQ(0, server.wait());
}

}  // namespace
