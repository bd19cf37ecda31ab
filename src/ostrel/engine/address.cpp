#include "ostrel/engine/address.h"

#include <cstdio>
#include <cstring>

void address_to_text(const SocketAddress* address, char* buf, size_t buf_len) {
  if (buf_len == 0) return;
  const void* raw = nullptr;
  if (address->sa.sa_family == AF_INET) raw = &address->sin.sin_addr;
  if (address->sa.sa_family == AF_INET6) raw = &address->sin6.sin6_addr;
  if (raw == nullptr || inet_ntop(address->sa.sa_family, raw, buf, static_cast<socklen_t>(buf_len)) == nullptr) {
    buf[0] = '\0';
  }
}

uint16_t address_port(const SocketAddress* address) {
  if (address->sa.sa_family == AF_INET) return ntohs(address->sin.sin_port);
  if (address->sa.sa_family == AF_INET6) return ntohs(address->sin6.sin6_port);
  return 0;
}

int address_ipv4(const SocketAddress* address, uint32_t* ipv4) {
  if (address->sa.sa_family == AF_INET) {
    *ipv4 = ntohl(address->sin.sin_addr.s_addr);
    return 1;
  }
  if (address->sa.sa_family != AF_INET6) return 0;
  const uint8_t* b = address->sin6.sin6_addr.s6_addr;
  static const uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(b, mapped_prefix, sizeof(mapped_prefix)) != 0) return 0;
  *ipv4 = (static_cast<uint32_t>(b[12]) << 24) | (static_cast<uint32_t>(b[13]) << 16) |
          (static_cast<uint32_t>(b[14]) << 8) | static_cast<uint32_t>(b[15]);
  return 1;
}

void set_remote_address(RequestInfo* ri, const SocketAddress* remote) {
  ri->remote_port = address_port(remote);
  ri->remote_ip = remote->sa.sa_family == AF_INET ? ntohl(remote->sin.sin_addr.s_addr) : 0;
}

namespace {

// PORT[s|p] at the end of a listener specification.
int parse_port_and_flag(const char* text, uint16_t* port, int* is_ssl, int* is_proxy) {
  int value = 0, n = 0;
  if (*text < '0' || *text > '9' || std::sscanf(text, "%d%n", &value, &n) != 1) return -1;
  const char flag = text[n];
  if ((flag != '\0' && flag != 's' && flag != 'p') || (flag != '\0' && text[n + 1] != '\0')) return -1;
  // A port out of range would silently bind another one.
  if (value < 0 || value > 65535) return -1;
  *port = static_cast<uint16_t>(value);
  *is_ssl = flag == 's';
  *is_proxy = flag == 'p';
  return 0;
}

}  // namespace

int parse_listener_spec(const char* text, SocketAddress* address, int* is_ssl, int* is_proxy) {
  std::memset(address, 0, sizeof(*address));
  uint16_t port = 0;
  if (text[0] == '[') {
    const char* close = std::strchr(text, ']');
    char host[INET6_ADDRSTRLEN];
    const size_t len = close != nullptr ? static_cast<size_t>(close - text - 1) : 0;
    if (close == nullptr || close[1] != ':' || len == 0 || len >= sizeof(host)) return -1;
    std::memcpy(host, text + 1, len);
    host[len] = '\0';
    if (inet_pton(AF_INET6, host, &address->sin6.sin6_addr) != 1 ||
        parse_port_and_flag(close + 2, &port, is_ssl, is_proxy) != 0) {
      return -1;
    }
    address->sin6.sin6_family = AF_INET6;
    address->sin6.sin6_port = htons(port);
    return 0;
  }
  const char* colon = std::strchr(text, ':');
  in_addr ipv4{};
  ipv4.s_addr = htonl(INADDR_ANY);
  if (colon != nullptr) {
    char host[INET_ADDRSTRLEN];
    const size_t len = static_cast<size_t>(colon - text);
    if (len == 0 || len >= sizeof(host)) return -1;
    std::memcpy(host, text, len);
    host[len] = '\0';
    if (inet_pton(AF_INET, host, &ipv4) != 1) return -1;
    text = colon + 1;
  }
  if (parse_port_and_flag(text, &port, is_ssl, is_proxy) != 0) return -1;
  address->sin.sin_family = AF_INET;
  address->sin.sin_addr = ipv4;
  address->sin.sin_port = htons(port);
  return 0;
}
