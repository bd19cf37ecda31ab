#pragma once

#include <vector>

#include "ostrel/web/SecurityValidations.h"
#include "platform/TcpTable.h"

// Finds the client socket and judges its owner through the system's own
// services: asked by the connection's addresses (the kernel on Linux, the
// TCP table with owning processes on Windows), or found in the whole TCP
// table where that cannot be asked (or only the client port is known).
class SystemSecurityValidations : public SecurityValidations {
 public:
  bool validate(uint32_t port) override;
  bool validateConnection(const TcpEndpoint& client, const TcpEndpoint& server) override;

  // The owner of a client socket known by its port alone: the first row with
  // that local port, preferring a loopback one. False when no row matches.
  static bool findOwner(const std::vector<TcpRow>& rows, uint32_t clientPort, SocketOwnerId& owner);
  // The owner of the socket whose ends are exactly `client` (its own) and
  // `server`. False when no row is that socket.
  static bool findConnectionOwner(const std::vector<TcpRow>& rows, const TcpEndpoint& client,
                                  const TcpEndpoint& server, SocketOwnerId& owner);
  // Same user as this process, or an administrator.
  static bool mayConnect(SocketOwnerId owner);
};
