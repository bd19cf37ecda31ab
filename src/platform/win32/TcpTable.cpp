#include "platform/TcpTable.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include "platform/win32/TcpTableReader.h"

namespace win32 {

namespace {

// The size-then-fill pair races with connections made in between: the fill
// is retried with the size it reports, and some room to spare.
bool fetchTable(ULONG family, std::vector<unsigned char>& buffer) {
  DWORD size = 0;
  buffer.clear();
  for (int attempt = 0; attempt < 10; ++attempt) {
    const DWORD result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family,
                                             TCP_TABLE_OWNER_PID_ALL, 0);
    if (result == NO_ERROR && !buffer.empty()) return true;
    if (result != ERROR_INSUFFICIENT_BUFFER && result != NO_ERROR) return false;
    buffer.assign(size_t(size) + 16 * sizeof(MIB_TCP6ROW_OWNER_PID), 0);
    size = DWORD(buffer.size());
  }
  return false;
}

uint16_t portOf(DWORD field) { return ntohs(uint16_t(field & 0xFFFF)); }

}  // namespace

bool readTcpRows(int family, std::vector<TcpRow>& rows) {
  std::vector<unsigned char> buffer;
  if (!fetchTable(ULONG(family), buffer)) return false;
  if (family == AF_INET) {
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      rows.push_back({TcpEndpoint::ipv4(ntohl(row.dwLocalAddr), portOf(row.dwLocalPort)),
                      TcpEndpoint::ipv4(ntohl(row.dwRemoteAddr), portOf(row.dwRemotePort)),
                      row.dwState == MIB_TCP_STATE_TIME_WAIT ? 0u : uint32_t(row.dwOwningPid)});
    }
    return true;
  }
  const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
    rows.push_back({TcpEndpoint::ipv6(row.ucLocalAddr, portOf(row.dwLocalPort)),
                    TcpEndpoint::ipv6(row.ucRemoteAddr, portOf(row.dwRemotePort)),
                    row.dwState == MIB_TCP_STATE_TIME_WAIT ? 0u : uint32_t(row.dwOwningPid)});
  }
  return true;
}

}  // namespace win32

bool readTcpTable(std::vector<TcpRow>& rows) {
  std::vector<TcpRow> all;
  const bool ipv4 = win32::readTcpRows(AF_INET, all);
  const bool ipv6 = win32::readTcpRows(AF_INET6, all);
  for (const TcpRow& row : all)
    if (row.owner != 0) rows.push_back(row);
  return ipv4 || ipv6;
}
