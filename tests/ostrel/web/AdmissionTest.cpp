// The admission class on the system's own services, in both builds: a
// connection of this process is admitted while it lasts, by the connection's
// ends as the engine keeps them.

#include <gtest/gtest.h>

#include <memory>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/sys.h"
#include "ostrel/web/LocalAddress.h"
#include "ostrel/web/SystemSecurityValidations.h"
#include "platform/UserAccounts.h"

namespace {

// A loopback listener of the engine's kind, a client of this process and the
// accepted connection as the engine records it.
struct EngineConnection {
  EngineConnection() {
    sys_startup();
    listenerAddress.sin.sin_family = AF_INET;
    listenerAddress.sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener = sys_open_listener(&listenerAddress);
    if (listener < 0) return;
    client = sys_socket(AF_INET);
    if (client < 0 || sys_connect(client, &listenerAddress.sa, sizeof listenerAddress.sin) != 0) return;
    SysPollFd ready{listener, POLLIN, 0};
    if (sys_poll(&ready, 1, 5000) != 1) return;
    connection->client.sock = sys_accept(listener, &connection->client.remote_addr);
    connection->client.local_addr = listenerAddress;
    // A byte first: under wine a process is named as a socket's owner only
    // once it has used the socket itself.
    char byte = 0;
    ready_ = connection->client.sock >= 0 && sys_send(client, "c", 1, false) == 1 &&
             sys_recv(connection->client.sock, &byte, 1, false) == 1;
  }
  ~EngineConnection() {
    if (connection->client.sock >= 0) sys_close_socket(connection->client.sock);
    if (client >= 0) sys_close_socket(client);
    if (listener >= 0) sys_close_socket(listener);
  }
  bool ready() const { return ready_; }
  uint16_t clientPort() const {
    SocketAddress own{};
    return sys_getsockname(client, &own) == 0 ? ntohs(own.sin.sin_port) : 0;
  }

  SocketAddress listenerAddress{};
  int listener = -1;
  int client = -1;
  std::unique_ptr<Connection> connection = std::make_unique<Connection>();
  bool ready_ = false;
};

TEST(SystemSecurityValidationsTest, AdmitsThisProcessWhileItsConnectionLasts) {
  EngineConnection pair;
  ASSERT_TRUE(pair.ready());
  TcpEndpoint client, server;
  ASSERT_TRUE(connectionEnds(pair.connection.get(), client, server));
  EXPECT_EQ(TcpEndpoint::ipv4(0x7F000001, pair.clientPort()), client);
  EXPECT_EQ(TcpEndpoint::ipv4(0x7F000001, ntohs(pair.listenerAddress.sin.sin_port)), server);
  // Without the listener's address, the server's end is asked of the socket.
  pair.connection->client.local_addr = SocketAddress{};
  TcpEndpoint askedClient, askedServer;
  ASSERT_TRUE(connectionEnds(pair.connection.get(), askedClient, askedServer));
  EXPECT_EQ(client, askedClient);
  EXPECT_EQ(server, askedServer);

  SystemSecurityValidations validations;
  EXPECT_TRUE(validations.validateConnection(client, server));
  EXPECT_TRUE(validations.validate(client.port));
  EXPECT_TRUE(SystemSecurityValidations::mayConnect(currentSocketOwner()));
  // The server's port with another client end is no connection of anyone's.
  TcpEndpoint otherClient = client;
  otherClient.port = uint16_t(client.port == 65535 ? 1 : client.port + 1);
  EXPECT_FALSE(validations.validateConnection(otherClient, server));

  // Closed, the client's socket is held by no one: refused.
  sys_close_socket(pair.client);
  pair.client = -1;
  EXPECT_FALSE(validations.validateConnection(client, server));
  EXPECT_FALSE(connectionEnds(nullptr, client, server));
}

}  // namespace
