#include "platform/TcpTable.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// /proc prints an address as 32-bit words in hex, each the word as the
// machine reads its network-order bytes: storing the number back in memory
// gives those bytes again.
bool parseWords(const std::string& hex, uint8_t* bytes, size_t words) {
  if (hex.size() != words * 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  for (size_t i = 0; i < words; ++i) {
    const uint32_t word = uint32_t(std::stoul(hex.substr(i * 8, 8), nullptr, 16));
    std::memcpy(bytes + i * 4, &word, 4);
  }
  return true;
}

bool parseEndpoint(const std::string& field, TcpEndpoint& end) {
  size_t colon = field.find(':');
  if (colon == std::string::npos) return false;
  std::string hexAddress = field.substr(0, colon);
  unsigned int rawPort = 0;
  if (std::sscanf(field.c_str() + colon + 1, "%4x", &rawPort) != 1) return false;
  uint8_t bytes[16];
  if (hexAddress.size() == 8) {
    if (!parseWords(hexAddress, bytes, 1)) return false;
    uint32_t networkOrder;
    std::memcpy(&networkOrder, bytes, 4);
    end = TcpEndpoint::ipv4(ntohl(networkOrder), uint16_t(rawPort));
    return true;
  }
  if (!parseWords(hexAddress, bytes, 4)) return false;
  end = TcpEndpoint::ipv6(bytes, uint16_t(rawPort));
  return true;
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
    if (!parseEndpoint(local, row.local) || !parseEndpoint(remote, row.remote)) continue;
    row.owner = uid_t(uid);
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
