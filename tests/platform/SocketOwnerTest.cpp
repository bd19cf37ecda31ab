#include "platform/SocketOwner.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

enum class Road {
  IPv4,        // an IPv4 client to 127.0.0.1
  MappedIPv4,  // a dual-stack IPv6 client to ::ffff:127.0.0.1
  IPv6,        // an IPv6 client to ::1
};

// A listener and a client connected to it by one of the roads.
struct Connected {
  explicit Connected(Road road) {
    const bool ipv6Listener = road == Road::IPv6;
    listener = socket(ipv6Listener ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    sockaddr_in6 address6{};
    socklen_t length;
    if (ipv6Listener) {
      address6.sin6_family = AF_INET6;
      address6.sin6_addr = in6addr_loopback;
      bind(listener, reinterpret_cast<sockaddr*>(&address6), sizeof address6);
      length = sizeof address6;
      getsockname(listener, reinterpret_cast<sockaddr*>(&address6), &length);
      serverPort = ntohs(address6.sin6_port);
    } else {
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
      length = sizeof address;
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
      serverPort = ntohs(address.sin_port);
    }
    listen(listener, 1);

    client = socket(road == Road::IPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (road == Road::IPv4) {
      connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      sockaddr_in local{};
      length = sizeof local;
      getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);
      clientPort = ntohs(local.sin_port);
    } else {
      sockaddr_in6 target = address6;
      if (road == Road::MappedIPv4) {
        target.sin6_family = AF_INET6;
        target.sin6_port = htons(serverPort);
        target.sin6_addr.s6_addr[10] = target.sin6_addr.s6_addr[11] = 0xFF;
        target.sin6_addr.s6_addr[12] = 127;
        target.sin6_addr.s6_addr[15] = 1;
      }
      connected = connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
      sockaddr_in6 local{};
      length = sizeof local;
      getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);
      clientPort = ntohs(local.sin6_port);
    }
    if (road == Road::IPv6) {
      clientEnd = TcpEndpoint::ipv6(in6addr_loopback.s6_addr, clientPort);
      serverEnd = TcpEndpoint::ipv6(in6addr_loopback.s6_addr, serverPort);
    } else {
      clientEnd = TcpEndpoint::ipv4(0x7F000001, clientPort);
      serverEnd = TcpEndpoint::ipv4(0x7F000001, serverPort);
    }
  }
  ~Connected() {
    close(client);
    close(listener);
  }
  int listener, client;
  uint16_t serverPort = 0, clientPort = 0;
  TcpEndpoint clientEnd, serverEnd;
  bool connected = false;
};

TEST(SocketOwnerTest, FindsTheOwnerOfOneConnectionByEitherFamily) {
  for (Road road : {Road::IPv4, Road::MappedIPv4, Road::IPv6}) {
    Connected pair(road);
    ASSERT_TRUE(pair.connected) << int(road);
    uid_t owner = 12345;
    ASSERT_EQ(SocketLookup::Found, findTcpSocketOwner(pair.clientEnd, pair.serverEnd, owner)) << int(road);
    EXPECT_EQ(geteuid(), owner);
    // The same port with another remote end is not this connection.
    TcpEndpoint otherServer = pair.serverEnd;
    otherServer.port = uint16_t(pair.serverPort + 1);
    EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(pair.clientEnd, otherServer, owner)) << int(road);
    // Nor are the same ports on the other family's loopback: an IPv6
    // connection cannot be named as an IPv4 one, nor the reverse.
    const TcpEndpoint otherClient = road == Road::IPv6 ? TcpEndpoint::ipv4(0x7F000001, pair.clientPort)
                                                       : TcpEndpoint::ipv6(in6addr_loopback.s6_addr, pair.clientPort);
    const TcpEndpoint otherFamily = road == Road::IPv6 ? TcpEndpoint::ipv4(0x7F000001, pair.serverPort)
                                                       : TcpEndpoint::ipv6(in6addr_loopback.s6_addr, pair.serverPort);
    EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(otherClient, otherFamily, owner)) << int(road);
    EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(pair.clientEnd, otherFamily, owner)) << int(road);
  }
}

TEST(SocketOwnerTest, AClosedClientSocketHasNoOwner) {
  // Closed while its request waits to be accepted, a client's socket is held
  // by no process and then waits out its time: the kernel reports uid 0 for
  // it, which must not pass for root.
  Connected pair(Road::IPv4);
  ASSERT_TRUE(pair.connected);
  int served = accept(pair.listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  close(pair.client);
  pair.client = -1;
  uid_t owner = 12345;
  EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(pair.clientEnd, pair.serverEnd, owner));
  close(served);  // the client's end goes to TIME_WAIT
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline)
    ASSERT_NE(SocketLookup::Found, findTcpSocketOwner(pair.clientEnd, pair.serverEnd, owner))
        << "owner " << owner;
}

}  // namespace
