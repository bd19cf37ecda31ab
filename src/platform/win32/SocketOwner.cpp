#include "platform/SocketOwner.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>

#include <vector>

#include "platform/win32/TcpTableReader.h"

namespace {

SocketLookup lookup(int family, const TcpEndpoint& local, const TcpEndpoint& remote, SocketOwnerId& owner) {
  std::vector<TcpRow> rows;
  if (!win32::readTcpRows(family, rows)) return SocketLookup::Unavailable;
  for (const TcpRow& row : rows) {
    if (!(row.local == local && row.remote == remote)) continue;
    // No owning process: a socket waiting out its time, or one that no
    // Windows process holds. Nobody may be trusted with it.
    if (row.owner == 0) return SocketLookup::NotFound;
    owner = row.owner;
    return SocketLookup::Found;
  }
  return SocketLookup::NotFound;
}

}  // namespace

SocketLookup findTcpSocketOwner(const TcpEndpoint& local, const TcpEndpoint& remote, SocketOwnerId& owner) {
  if (local.isIPv4() != remote.isIPv4()) return SocketLookup::NotFound;
  SocketLookup result = SocketLookup::NotFound;
  if (local.isIPv4()) result = lookup(AF_INET, local, remote, owner);
  // A dual-stack socket carries an IPv4 connection as mapped addresses in the
  // IPv6 table; an IPv6 connection lives there only.
  if (result == SocketLookup::NotFound) result = lookup(AF_INET6, local, remote, owner);
  return result;
}
