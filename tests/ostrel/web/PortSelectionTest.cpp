#include "ostrel/plugin/PortSelection.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "ostrel/web/WebServer.h"
#include "platform/Registry.h"
#include "support/HttpExchange.h"
#include "support/LogCapture.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace {

const uid_t kOtherUid = 1;  // daemon: another account, not an administrator

class PortSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TESSARO_REGISTRY_ROOT", (dir.path() + "/registry").c_str(), 1); }
  void TearDown() override { unsetenv("TESSARO_REGISTRY_ROOT"); }

  std::string savedPort() {
    return TempDir::read(registryValueFile("Software\\Corvane\\Tessaro", "OstrelPort"));
  }
  // Records of the search but the access lines of requests.
  std::vector<std::string> searchRecords() {
    std::vector<std::string> kept;
    for (const std::string& record : capture.records())
      if (record.find("INFO GET ") != 0) kept.push_back(record);
    return kept;
  }

  TempDir dir;
  LogCapture capture;
};

// Another account's program holding ADDRESS on the ports FIRST to LAST.
std::vector<std::string> holdAsOtherUser(const std::string& address, int first, int last) {
  return std::vector<std::string>({"/usr/bin/setpriv", "--reuid=" + std::to_string(kOtherUid),
                     "--regid=" + std::to_string(kOtherUid), "--clear-groups", "--", HOLD_PORTS, address,
                     std::to_string(first), std::to_string(last)});
}

// Holds a port the way another program would. Like the engine it may bind over
// connections of earlier tests that wait in TIME_WAIT.
int occupy(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int bindTo(const char* address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, address, &sa.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool connectsTo(const char* address, int port) {
  if (std::string(address) == "::1") {
    int fd = connectIPv6Loopback(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, address, &sa.sin_addr);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return connected;
}

std::vector<std::string> sortedOrigins(const WebServer& server) {
  std::vector<std::string> origins = server.servedOrigins();
  std::sort(origins.begin(), origins.end());
  return origins;
}

size_t busyPortRecords(const std::vector<std::string>& records) {
  return size_t(std::count_if(records.begin(), records.end(), [](const std::string& r) {
    return r.find("INFO port ") == 0 && r.find(" is in use; trying the next one") != std::string::npos;
  }));
}

TEST_F(PortSelectionTest, TakesTheFirstPortFreeOnEveryLoopbackAddressAndPublishesIt) {
  // Hold the first port from 8091 that is free; other programs may hold earlier ones.
  int held = 8091, blocker = -1;
  for (; blocker < 0 && held < 8191; ++held) blocker = occupy(held);
  --held;
  ASSERT_GE(blocker, 0) << "no free port from 8091 to 8190";
  // Another user holds [::1] on the next port: a browser given
  // http://localhost:PORT/ would reach that user's server.
  std::unique_ptr<Subprocess> ipv6Holder;
  if (geteuid() == 0) {
    ipv6Holder = std::make_unique<Subprocess>(holdAsOtherUser("::1", held + 1, held + 1));
    ASSERT_TRUE(ipv6Holder->waitForOutput("held ")) << ipv6Holder->output();
  }
  WebServer server;
  PortSelection selection(server);
  int port = selection.startServer(dir.path(), false, false);
  const std::vector<std::string> records = searchRecords();
  // Every loopback address answers; no other address is taken, so another
  // program may still bind 127.0.0.2 on the same port.
  for (const char* address : {"127.0.0.1", "127.0.1.1", "::1"}) EXPECT_TRUE(connectsTo(address, port)) << address;
  int other = bindTo("127.0.0.2", port);
  EXPECT_GE(other, 0);
  close(other);
  const std::string p = std::to_string(port);
  EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1:" + p, "http://127.0.1.1:" + p, "http://[::1]:" + p,
                                      "http://localhost:" + p}),
            sortedOrigins(server));
  server.stop();
  close(blocker);
  if (ipv6Holder) ipv6Holder->signal(SIGTERM);

  ASSERT_GT(port, ipv6Holder ? held + 1 : held);
  char expected[32];
  std::snprintf(expected, sizeof expected, "dword:%08x\n", port);
  EXPECT_EQ(expected, savedPort());
  // One INFO record per busy port, and nothing that reads as an error.
  EXPECT_EQ(size_t(port - 8091), busyPortRecords(records));
  EXPECT_EQ(size_t(port - 8091), records.size()) << records.back();
}

TEST_F(PortSelectionTest, AnotherUserOnASecondaryAddressOfEveryPortCannotDenyService) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root to hold ports as another account";
  // Browsers never use 127.0.1.1: holding it everywhere must not keep the
  // store from being served on 127.0.0.1 and [::1].
  Subprocess holder(holdAsOtherUser("127.0.1.1", PortSelection::kFirstPort, PortSelection::kLastPort));
  ASSERT_TRUE(holder.waitForOutput("held ")) << holder.output();
  WebServer server;
  PortSelection selection(server);
  const int port = selection.startServer(dir.path(), false, false);
  ASSERT_NE(0, port);
  EXPECT_TRUE(connectsTo("127.0.0.1", port));
  EXPECT_TRUE(connectsTo("::1", port));
  const std::string p = std::to_string(port);
  // The other user's address is not one of this server's origins.
  EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1:" + p, "http://[::1]:" + p, "http://localhost:" + p}),
            sortedOrigins(server));
  server.stop();
  holder.signal(SIGTERM);
  const std::vector<std::string> records = searchRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ("WARNING Could not hold 127.0.1.1 beside 127.0.0.1 on any port from 8091 to 10000 (another program "
            "holds them); serving only 127.0.0.1:" + p + ",[::1]:" + p,
            records.back());
  EXPECT_EQ(0, std::count_if(records.begin(), records.end(), [](const std::string& r) { return r.find("ERROR") == 0; }));
  char expected[32];
  std::snprintf(expected, sizeof expected, "dword:%08x\n", port);
  EXPECT_EQ(expected, savedPort());
}

TEST_F(PortSelectionTest, AValueThatCannotBeWrittenIsTriedSixTimes) {
  // The key's folders are sound, but the value's file cannot be replaced.
  ASSERT_EQ("", registryKeyRefusal("Software\\Corvane\\Tessaro"));
  ASSERT_EQ(0, mkdir(registryValueFile("Software\\Corvane\\Tessaro", "OstrelPort").c_str(), 0700));
  WebServer server;
  PortSelection selection(server);
  selection.retryDelay = std::chrono::milliseconds(100);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(selection.savePort(8091, PortSelection::kSaveRetries));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000));

  int port = selection.startServer(dir.path(), false, false);
  server.stop();
  EXPECT_NE(0, port);
  EXPECT_EQ("ERROR Could not save the port to use.", capture.records().back());
}

TEST_F(PortSelectionTest, ARegistryFolderOthersCouldChangeIsRefusedAtOnceAndNamed) {
  dir.write("registry", "not a folder");
  WebServer server;
  PortSelection selection(server);
  auto start = std::chrono::steady_clock::now();
  int port = selection.startServer(dir.path(), false, false);
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_NE(0, port);
  const std::vector<std::string> records = capture.records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ("ERROR The port cannot be published: " + dir.path() + "/registry is not a folder",
            records[records.size() - 2]);
  EXPECT_EQ("ERROR Could not save the port to use.", records.back());
}

}  // namespace
