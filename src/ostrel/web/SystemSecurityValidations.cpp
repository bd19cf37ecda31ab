#include "ostrel/web/SystemSecurityValidations.h"

#include "platform/SocketOwner.h"
#include "platform/UserAccounts.h"

bool SystemSecurityValidations::findOwner(const std::vector<TcpRow>& rows, uint32_t clientPort,
                                          SocketOwnerId& owner) {
  const TcpRow* loopback = nullptr;
  const TcpRow* any = nullptr;
  for (const TcpRow& row : rows) {
    if (row.local.port != clientPort) continue;
    if (!loopback && row.local.isLoopback()) loopback = &row;
    if (!any) any = &row;
  }
  const TcpRow* chosen = loopback ? loopback : any;
  if (!chosen) return false;
  owner = chosen->owner;
  return true;
}

bool SystemSecurityValidations::findConnectionOwner(const std::vector<TcpRow>& rows, const TcpEndpoint& client,
                                                    const TcpEndpoint& server, SocketOwnerId& owner) {
  // Both ends must be the connection itself: a socket of another user that
  // happens to use the same port number elsewhere must not decide.
  for (const TcpRow& row : rows) {
    if (row.local == client && row.remote == server) {
      owner = row.owner;
      return true;
    }
  }
  return false;
}

bool SystemSecurityValidations::mayConnect(SocketOwnerId owner) { return ownerMayConnect(owner); }

bool SystemSecurityValidations::validate(uint32_t port) {
  std::vector<TcpRow> rows;
  SocketOwnerId owner;
  return readTcpTable(rows) && findOwner(rows, port, owner) && mayConnect(owner);
}

bool SystemSecurityValidations::validateConnection(const TcpEndpoint& client, const TcpEndpoint& server) {
  SocketOwnerId owner;
  switch (findTcpSocketOwner(client, server, owner)) {
    case SocketLookup::Found:
      return mayConnect(owner);
    case SocketLookup::NotFound:
      return false;
    case SocketLookup::Unavailable:
      break;
  }
  // Reading the whole table costs milliseconds on a busy machine: only a
  // fallback, where the system could not be asked for the one socket.
  std::vector<TcpRow> rows;
  return readTcpTable(rows) && findConnectionOwner(rows, client, server, owner) && mayConnect(owner);
}
