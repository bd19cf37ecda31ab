#include "ostrel/plugin/PortSelection.h"

#include <gtest/gtest.h>

#include "ostrel/web/WebServer.h"
#include "platform/Registry.h"
#include "support/HttpExchange.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

class PortSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TESSARO_REGISTRY_ROOT", (dir.path() + "/registry").c_str(), 1); }
  void TearDown() override { unsetenv("TESSARO_REGISTRY_ROOT"); }

  std::string savedPort() {
    return TempDir::read(registryValueFile("Software\\Corvane\\Tessaro", "OstrelPort"));
  }

  TempDir dir;
  LogCapture capture;
};

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
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, address, &sa.sin_addr);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return connected;
}

TEST_F(PortSelectionTest, TakesTheFirstFreePortFrom8091AndPublishesIt) {
  // Hold the first port from 8091 that is free; other programs may hold earlier ones.
  int held = 8091, blocker = -1;
  for (; blocker < 0 && held < 8191; ++held) blocker = occupy(held);
  --held;
  ASSERT_GE(blocker, 0) << "no free port from 8091 to 8190";
  WebServer server;
  PortSelection selection(server);
  int port = selection.startServer(dir.path(), false, false);
  std::vector<std::string> records = capture.records();
  // Both admitted loopback addresses answer; no other address is taken,
  // so another program may still bind 127.0.0.2 on the same port.
  for (const char* address : {"127.0.0.1", "127.0.1.1"}) EXPECT_TRUE(connectsTo(address, port)) << address;
  int other = bindTo("127.0.0.2", port);
  EXPECT_GE(other, 0);
  close(other);
  server.stop();
  close(blocker);

  ASSERT_GT(port, held);
  char expected[32];
  std::snprintf(expected, sizeof expected, "dword:%08x\n", port);
  EXPECT_EQ(expected, savedPort());
  // One INFO record per busy port (and the engine's own message before each).
  EXPECT_EQ(size_t(port - 8091),
            size_t(std::count(records.begin(), records.end(), "INFO Internal server port is busy")));
  EXPECT_EQ(size_t(port - 8091),
            size_t(std::count(records.begin(), records.end(), "ERROR Internal Server failed to start")));
}

TEST_F(PortSelectionTest, AnUnwritableKeyIsTriedSixTimes) {
  dir.write("registry", "not a folder");
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

}  // namespace
