// Admission under wine: a Windows client process of this user is admitted; a
// Linux program, which owns no socket in the eyes of the Windows TCP table,
// is refused.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/sys.h"
#include "ostrel/web/LocalAddress.h"
#include "ostrel/web/SystemSecurityValidations.h"
#include "support/Portable.h"

namespace {

struct Listener {
  Listener() {
    sys_startup();
    address.sin.sin_family = AF_INET;
    address.sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sock = sys_open_listener(&address);
  }
  ~Listener() {
    if (sock >= 0) sys_close_socket(sock);
  }
  uint16_t port() const { return ntohs(address.sin.sin_port); }
  // The next connection as the engine records it; its socket -1 when none came.
  std::unique_ptr<Connection> accept(int limitMs) {
    auto connection = std::make_unique<Connection>();
    connection->client.sock = -1;
    SysPollFd ready{sock, POLLIN, 0};
    if (sys_poll(&ready, 1, limitMs) == 1) connection->client.sock = sys_accept(sock, &connection->client.remote_addr);
    connection->client.local_addr = address;
    return connection;
  }
  SocketAddress address{};
  int sock = -1;
};

TEST(Win32AdmissionTest, AWindowsClientOfThisUserIsAdmittedALinuxProgramRefused) {
  Listener listener;
  ASSERT_GE(listener.sock, 0);
  SystemSecurityValidations validations;

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = "\"" ADMISSION_CLIENT "\" " + std::to_string(listener.port());
  std::vector<char> mutableLine(line.begin(), line.end());
  mutableLine.push_back('\0');
  ASSERT_TRUE(CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process));
  CloseHandle(process.hThread);
  {
    std::unique_ptr<Connection> windowsClient = listener.accept(20000);
    ASSERT_GE(windowsClient->client.sock, 0);
    char byte = 0;
    ASSERT_EQ(1, sys_recv(windowsClient->client.sock, &byte, 1, false));
    TcpEndpoint client, server;
    ASSERT_TRUE(connectionEnds(windowsClient.get(), client, server));
    EXPECT_TRUE(validations.validateConnection(client, server));
    EXPECT_TRUE(validations.validate(client.port));
    sys_close_socket(windowsClient->client.sock);
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 20000));
  CloseHandle(process.hProcess);

  // curl waits for a reply: its connection lasts until it is closed here.
  int status = -1;
  runShell("curl -s -m 30 http://127.0.0.1:" + std::to_string(listener.port()) + "/ >/dev/null 2>&1 &", &status);
  ASSERT_EQ(0, status);
  std::unique_ptr<Connection> linuxClient = listener.accept(20000);
  ASSERT_GE(linuxClient->client.sock, 0);
  TcpEndpoint client, server;
  ASSERT_TRUE(connectionEnds(linuxClient.get(), client, server));
  EXPECT_FALSE(validations.validateConnection(client, server));
  EXPECT_FALSE(validations.validate(client.port));
  sys_close_socket(linuxClient->client.sock);
}

}  // namespace
