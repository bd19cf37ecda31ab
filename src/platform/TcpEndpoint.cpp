#include "platform/TcpEndpoint.h"

#include <cstring>

namespace {
const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
}  // namespace

TcpEndpoint TcpEndpoint::ipv4(uint32_t hostOrderAddress, uint16_t port) {
  TcpEndpoint end;
  std::memcpy(end.address.data(), kMappedPrefix, sizeof kMappedPrefix);
  end.address[12] = uint8_t(hostOrderAddress >> 24);
  end.address[13] = uint8_t(hostOrderAddress >> 16);
  end.address[14] = uint8_t(hostOrderAddress >> 8);
  end.address[15] = uint8_t(hostOrderAddress);
  end.port = port;
  return end;
}

TcpEndpoint TcpEndpoint::ipv6(const uint8_t* networkOrderAddress, uint16_t port) {
  TcpEndpoint end;
  std::memcpy(end.address.data(), networkOrderAddress, end.address.size());
  end.port = port;
  return end;
}

bool TcpEndpoint::isIPv4() const { return std::memcmp(address.data(), kMappedPrefix, sizeof kMappedPrefix) == 0; }

uint32_t TcpEndpoint::ipv4Address() const {
  return (uint32_t(address[12]) << 24) | (uint32_t(address[13]) << 16) | (uint32_t(address[14]) << 8) |
         uint32_t(address[15]);
}

bool TcpEndpoint::isLoopback() const {
  if (isIPv4()) return address[12] == 127;
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(address.data(), kLoopback6, sizeof kLoopback6) == 0;
}
