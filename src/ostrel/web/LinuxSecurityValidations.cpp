#include "ostrel/web/LinuxSecurityValidations.h"

#include <unistd.h>

#include <mutex>

#include "platform/SocketOwner.h"
#include "platform/UserAccounts.h"

namespace {
bool isLoopback(uint32_t address) { return (address >> 24) == 127; }
}  // namespace

bool LinuxSecurityValidations::findOwner(const std::vector<TcpRow>& rows, uint32_t clientPort, uint32_t serverPort,
                                         uid_t& owner) {
  const TcpRow* loopback = nullptr;
  const TcpRow* any = nullptr;
  for (const TcpRow& row : rows) {
    if (row.localPort != clientPort) continue;
    if (serverPort != 0) {
      // Both ends must be the connection itself: a socket of another user that
      // happens to use the same port number elsewhere must not decide.
      if (isLoopback(row.localAddress) && isLoopback(row.remoteAddress) && row.remotePort == serverPort) {
        owner = row.uid;
        return true;
      }
      continue;
    }
    if (!loopback && isLoopback(row.localAddress)) loopback = &row;
    if (!any) any = &row;
  }
  const TcpRow* chosen = loopback ? loopback : any;
  if (!chosen) return false;
  owner = chosen->uid;
  return true;
}

bool LinuxSecurityValidations::mayConnect(uid_t owner) { return owner == geteuid() || isAdministrator(owner); }

bool LinuxSecurityValidations::validate(uint32_t port) {
  std::vector<TcpRow> rows;
  uid_t owner;
  return readTcpTable(rows) && findOwner(rows, port, 0, owner) && mayConnect(owner);
}

bool LinuxSecurityValidations::validateConnection(uint32_t clientAddress, uint32_t clientPort, uint32_t serverAddress,
                                                  uint32_t serverPort) {
  if (clientPort > 0xFFFF || serverPort > 0xFFFF) return false;
  uid_t owner;
  switch (findTcpSocketOwner(clientAddress, uint16_t(clientPort), serverAddress, uint16_t(serverPort), owner)) {
    case SocketLookup::Found:
      return mayConnect(owner);
    case SocketLookup::NotFound:
      return false;
    case SocketLookup::Unavailable:
      break;
  }
  // Reading the whole table costs milliseconds on a busy machine: only a fallback.
  std::vector<TcpRow> rows;
  return readTcpTable(rows) && findOwner(rows, clientPort, serverPort, owner) && mayConnect(owner);
}
