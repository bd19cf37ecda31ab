#include "ostrel/web/LinuxSecurityValidations.h"

#include <unistd.h>

#include "platform/SocketOwner.h"
#include "platform/UserAccounts.h"

bool LinuxSecurityValidations::findOwner(const std::vector<TcpRow>& rows, uint32_t clientPort, uid_t& owner) {
  const TcpRow* loopback = nullptr;
  const TcpRow* any = nullptr;
  for (const TcpRow& row : rows) {
    if (row.local.port != clientPort) continue;
    if (!loopback && row.local.isLoopback()) loopback = &row;
    if (!any) any = &row;
  }
  const TcpRow* chosen = loopback ? loopback : any;
  if (!chosen) return false;
  owner = chosen->uid;
  return true;
}

bool LinuxSecurityValidations::findConnectionOwner(const std::vector<TcpRow>& rows, const TcpEndpoint& client,
                                                   const TcpEndpoint& server, uid_t& owner) {
  // Both ends must be the connection itself: a socket of another user that
  // happens to use the same port number elsewhere must not decide.
  for (const TcpRow& row : rows) {
    if (row.local == client && row.remote == server) {
      owner = row.uid;
      return true;
    }
  }
  return false;
}

bool LinuxSecurityValidations::mayConnect(uid_t owner) { return owner == geteuid() || isAdministrator(owner); }

bool LinuxSecurityValidations::validate(uint32_t port) {
  std::vector<TcpRow> rows;
  uid_t owner;
  return readTcpTable(rows) && findOwner(rows, port, owner) && mayConnect(owner);
}

bool LinuxSecurityValidations::validateConnection(const TcpEndpoint& client, const TcpEndpoint& server) {
  uid_t owner;
  switch (findTcpSocketOwner(client, server, owner)) {
    case SocketLookup::Found:
      return mayConnect(owner);
    case SocketLookup::NotFound:
      return false;
    case SocketLookup::Unavailable:
      break;
  }
  // Reading the whole table costs milliseconds on a busy machine: only a fallback.
  std::vector<TcpRow> rows;
  return readTcpTable(rows) && findConnectionOwner(rows, client, server, owner) && mayConnect(owner);
}
