#pragma once

#include <array>
#include <cstdint>

// One end of a TCP connection. An IPv4 address is kept in its IPv4-mapped IPv6
// form (::ffff:a.b.c.d), so that one comparison serves both families and a
// dual-stack socket's mapped address is the same end as the IPv4 one.
struct TcpEndpoint {
  std::array<uint8_t, 16> address{};  // network byte order
  uint16_t port = 0;                  // host byte order

  static TcpEndpoint ipv4(uint32_t hostOrderAddress, uint16_t port);
  static TcpEndpoint ipv6(const uint8_t* networkOrderAddress, uint16_t port);

  bool isIPv4() const;
  uint32_t ipv4Address() const;  // host byte order; meaningful when isIPv4()
  // 127.0.0.0/8 or ::1.
  bool isLoopback() const;
  bool operator==(const TcpEndpoint& other) const { return address == other.address && port == other.port; }
};
