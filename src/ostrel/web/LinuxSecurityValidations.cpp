#include "ostrel/web/LinuxSecurityValidations.h"

#include <unistd.h>

#include <mutex>

#include "platform/UserAccounts.h"

SecurityValidations& SecurityValidations::instance() {
  static LinuxSecurityValidations validations;
  return validations;
}

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

bool LinuxSecurityValidations::validate(uint32_t port) { return validateConnection(port, 0); }

bool LinuxSecurityValidations::validateConnection(uint32_t clientPort, uint32_t serverPort) {
  std::vector<TcpRow> rows;
  if (!readTcpTable(rows)) return false;
  uid_t owner;
  return findOwner(rows, clientPort, serverPort, owner) && mayConnect(owner);
}
