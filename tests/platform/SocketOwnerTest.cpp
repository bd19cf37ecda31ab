#include "platform/SocketOwner.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

// A listener on 127.0.0.1 and a client connected to it, from either family.
struct Connected {
  explicit Connected(int family) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    serverPort = ntohs(address.sin_port);

    client = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (family == AF_INET) {
      connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      sockaddr_in local{};
      length = sizeof local;
      getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);
      clientPort = ntohs(local.sin_port);
    } else {
      sockaddr_in6 mapped{};
      mapped.sin6_family = AF_INET6;
      mapped.sin6_port = htons(serverPort);
      mapped.sin6_addr.s6_addr[10] = mapped.sin6_addr.s6_addr[11] = 0xFF;
      mapped.sin6_addr.s6_addr[12] = 127;
      mapped.sin6_addr.s6_addr[15] = 1;
      connected = connect(client, reinterpret_cast<sockaddr*>(&mapped), sizeof mapped) == 0;
      sockaddr_in6 local{};
      length = sizeof local;
      getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);
      clientPort = ntohs(local.sin6_port);
    }
  }
  ~Connected() {
    close(client);
    close(listener);
  }
  int listener, client;
  uint16_t serverPort = 0, clientPort = 0;
  bool connected = false;
};

TEST(SocketOwnerTest, FindsTheOwnerOfOneConnection) {
  for (int family : {AF_INET, AF_INET6}) {
    Connected pair(family);
    ASSERT_TRUE(pair.connected) << family;
    uid_t owner = 12345;
    ASSERT_EQ(SocketLookup::Found, findTcpSocketOwner(0x7F000001, pair.clientPort, 0x7F000001, pair.serverPort, owner))
        << family;
    EXPECT_EQ(geteuid(), owner);
    // The same port with another remote end is not this connection.
    EXPECT_EQ(SocketLookup::NotFound,
              findTcpSocketOwner(0x7F000001, pair.clientPort, 0x7F000001, uint16_t(pair.serverPort + 1), owner));
  }
}

TEST(SocketOwnerTest, AClosedClientSocketHasNoOwner) {
  // Closed while its request waits to be accepted, a client's socket is held
  // by no process and then waits out its time: the kernel reports uid 0 for
  // it, which must not pass for root.
  Connected pair(AF_INET);
  ASSERT_TRUE(pair.connected);
  int served = accept(pair.listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  close(pair.client);
  pair.client = -1;
  uid_t owner = 12345;
  EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(0x7F000001, pair.clientPort, 0x7F000001, pair.serverPort, owner));
  close(served);  // the client's end goes to TIME_WAIT
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline)
    ASSERT_NE(SocketLookup::Found, findTcpSocketOwner(0x7F000001, pair.clientPort, 0x7F000001, pair.serverPort, owner))
        << "owner " << owner;
}

}  // namespace
