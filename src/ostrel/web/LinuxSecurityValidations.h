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
  bool validateConnection(uint32_t clientAddress, uint32_t clientPort, uint32_t serverAddress,
                          uint32_t serverPort) override;

  // The owner of the client socket: the row whose local port is the client's,
  // preferring a loopback row whose remote port is the server's (required when
  // `serverPort` is known). False when no row matches.
  static bool findOwner(const std::vector<TcpRow>& rows, uint32_t clientPort, uint32_t serverPort, uid_t& owner);
  // Same user as this process, or an administrator.
  static bool mayConnect(uid_t owner);
};
