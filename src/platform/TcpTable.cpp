#include "platform/TcpTable.h"

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// /proc prints addresses as the bytes of the network-order word, in hex.
bool parseIPv4(const std::string& hex, uint32_t& address) {
  unsigned int raw = 0;
  if (hex.size() != 8 || std::sscanf(hex.c_str(), "%8x", &raw) != 1) return false;
  address = ntohl(raw);
  return true;
}

// An IPv6 address of tcp6: four 32-bit words as above. Only ::ffff:a.b.c.d is kept.
bool parseMappedIPv6(const std::string& hex, uint32_t& address) {
  if (hex.size() != 32) return false;
  if (hex.compare(0, 16, "0000000000000000") != 0 || hex.compare(16, 8, "FFFF0000") != 0) return false;
  return parseIPv4(hex.substr(24), address);
}

bool parseEndpoint(const std::string& field, uint32_t& address, uint16_t& port) {
  size_t colon = field.find(':');
  if (colon == std::string::npos) return false;
  std::string hexAddress = field.substr(0, colon);
  unsigned int rawPort = 0;
  if (std::sscanf(field.c_str() + colon + 1, "%4x", &rawPort) != 1) return false;
  port = uint16_t(rawPort);
  return hexAddress.size() == 8 ? parseIPv4(hexAddress, address) : parseMappedIPv6(hexAddress, address);
}

}  // namespace

void parseTcpTable(const std::string& text, std::vector<TcpRow>& rows) {
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, timeout;
    long uid = -1;
    unsigned long inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode) ||
        uid < 0)
      continue;
    // A socket that no process holds (one waiting out its time) shows uid 0:
    // it has no owner to tell.
    if (inode == 0) continue;
    TcpRow row{};
    if (!parseEndpoint(local, row.localAddress, row.localPort) ||
        !parseEndpoint(remote, row.remoteAddress, row.remotePort))
      continue;
    row.uid = uid_t(uid);
    rows.push_back(row);
  }
}

bool readTcpTable(std::vector<TcpRow>& rows) {
  bool any = false;
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(path);
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    parseTcpTable(text.str(), rows);
    any = true;
  }
  return any;
}
