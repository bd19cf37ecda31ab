#pragma once

#include <cstdint>

#include "platform/TcpEndpoint.h"

// Decides whether the process on the other end of a client connection may talk
// to the plug-in: a process of the same user, or of an administrator.
class SecurityValidations {
 public:
  // `port`: the client's TCP port, host byte order.
  virtual bool validate(uint32_t port) = 0;
  // The same for the connection between these two ends: the client's own
  // socket is looked up, nothing else decides.
  virtual bool validateConnection(const TcpEndpoint& client, const TcpEndpoint& server) = 0;
  virtual ~SecurityValidations() = default;
};
