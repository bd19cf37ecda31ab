#pragma once

// The owner of one TCP socket, asked of the kernel by its four addresses
// (netlink sock_diag): a hash lookup instead of a walk of the whole table.

#include <sys/types.h>

#include <cstdint>

enum class SocketLookup {
  Found,
  NotFound,     // no such socket (the client has gone, or the addresses are not its)
  Unavailable,  // the kernel could not be asked
};

// Addresses in host byte order; `local` is the socket's own end. IPv4 sockets and
// dual-stack IPv6 sockets with IPv4-mapped addresses are both found.
SocketLookup findTcpSocketOwner(uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress,
                                uint16_t remotePort, uid_t& owner);
