#pragma once

// The owner of one TCP socket, asked of the kernel by its four addresses
// (netlink sock_diag): a hash lookup instead of a walk of the whole table.

#include <sys/types.h>

#include "platform/TcpEndpoint.h"

enum class SocketLookup {
  Found,
  NotFound,     // no such socket (the client has gone, or the addresses are not its)
  Unavailable,  // the kernel could not be asked
};

// `local` is the socket's own end. An IPv4 connection is looked up among IPv4
// sockets and among dual-stack IPv6 sockets that carry it as IPv4-mapped
// addresses; an IPv6 one among IPv6 sockets only. Ends of different families
// name no socket.
SocketLookup findTcpSocketOwner(const TcpEndpoint& local, const TcpEndpoint& remote, uid_t& owner);
