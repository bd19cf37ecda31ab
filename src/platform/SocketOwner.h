#pragma once

// The owner of one TCP socket, found by its four addresses: asked of the
// kernel (netlink sock_diag, a hash lookup) on Linux, looked up in the IP
// helper's table of connections with their owning processes on Windows.

#include "platform/TcpEndpoint.h"
#include "platform/UserAccounts.h"

enum class SocketLookup {
  Found,
  NotFound,     // no such socket (the client has gone, or the addresses are not its), or no owner named
  Unavailable,  // the system could not be asked
};

// `local` is the socket's own end. An IPv4 connection is looked up among IPv4
// sockets and among dual-stack IPv6 sockets that carry it as IPv4-mapped
// addresses; an IPv6 one among IPv6 sockets only. Ends of different families
// name no socket.
SocketLookup findTcpSocketOwner(const TcpEndpoint& local, const TcpEndpoint& remote, SocketOwnerId& owner);
