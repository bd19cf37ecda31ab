#pragma once

#include <sys/types.h>

#include <vector>

#include "ostrel/web/SecurityValidations.h"
#include "platform/TcpTable.h"

// Finds the client socket and judges its owner: asked of the kernel by the
// connection's addresses, or found in the system's TCP table where the kernel
// cannot be asked (or only the client port is known).
class LinuxSecurityValidations : public SecurityValidations {
 public:
  bool validate(uint32_t port) override;
  bool validateConnection(const TcpEndpoint& client, const TcpEndpoint& server) override;

  // The owner of a client socket known by its port alone: the first row with
  // that local port, preferring a loopback one. False when no row matches.
  static bool findOwner(const std::vector<TcpRow>& rows, uint32_t clientPort, uid_t& owner);
  // The owner of the socket whose ends are exactly `client` (its own) and
  // `server`. False when no row is that socket.
  static bool findConnectionOwner(const std::vector<TcpRow>& rows, const TcpEndpoint& client,
                                  const TcpEndpoint& server, uid_t& owner);
  // Same user as this process, or an administrator.
  static bool mayConnect(uid_t owner);
};
