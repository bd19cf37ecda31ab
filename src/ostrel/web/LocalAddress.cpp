#include "ostrel/web/LocalAddress.h"

#include <cerrno>
#include <cstring>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/sys.h"

namespace {

bool equalsIgnoringAsciiCase(const std::string& text, const char* lowerCase) {
  size_t i = 0;
  for (; i < text.size() && lowerCase[i] != '\0'; ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i];
    if (c != lowerCase[i]) return false;
  }
  return i == text.size() && lowerCase[i] == '\0';
}

bool isDecimalByte(const std::string& part) {
  if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos) return false;
  return std::stoi(part) <= 255;
}

bool isLoopbackLiteral(const std::string& host) {
  std::string parts[4];
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = host.find('.', start);
    if ((i < 3) != (dot != std::string::npos)) return false;
    parts[i] = host.substr(start, i < 3 ? dot - start : std::string::npos);
    if (!isDecimalByte(parts[i])) return false;
    start = dot + 1;
  }
  return parts[0] == "127";
}

TcpEndpoint endpointOf(const SocketAddress& address) {
  if (address.sa.sa_family == AF_INET6)
    return TcpEndpoint::ipv6(address.sin6.sin6_addr.s6_addr, ntohs(address.sin6.sin6_port));
  return TcpEndpoint::ipv4(ntohl(address.sin.sin_addr.s_addr), ntohs(address.sin.sin_port));
}

bool isWildcard(const SocketAddress& address) {
  if (address.sa.sa_family == AF_INET) return address.sin.sin_addr.s_addr == htonl(INADDR_ANY);
  static const uint8_t kUnspecified[16] = {};
  return std::memcmp(&address.sin6.sin6_addr, kUnspecified, sizeof kUnspecified) == 0;
}

}  // namespace

bool isLocalHostName(const std::string& hostAndPort) {
  std::string host = hostAndPort;
  const size_t colon = host.find(':', host.compare(0, 5, "[::1]") == 0 ? 5 : 0);
  if (colon != std::string::npos) {
    std::string port = host.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos) return false;
    host.erase(colon);
  }
  return equalsIgnoringAsciiCase(host, "localhost") || host == "[::1]" || isLoopbackLiteral(host);
}

bool connectionEnds(const Connection* connection, TcpEndpoint& client, TcpEndpoint& server) {
  if (!connection) return false;
  const SocketAddress& remote = connection->client.remote_addr;
  SocketAddress local = connection->client.local_addr;
  const int family = remote.sa.sa_family;
  if (family != AF_INET && family != AF_INET6) return false;
  // A listener bound to one address is the local end of all it accepts: the
  // kernel need not be asked again for every connection.
  if (local.sa.sa_family != family || isWildcard(local)) {
    if (sys_getsockname(connection->client.sock, &local) != 0 || local.sa.sa_family != family) return false;
  }
  client = endpointOf(remote);
  server = endpointOf(local);
  return true;
}

bool hasIPv6Loopback() {
  SocketAddress address{};
  address.sin6.sin6_family = AF_INET6;
  address.sin6.sin6_addr = in6addr_loopback;
  const int probe = sys_open_listener(&address);
  const bool absent = probe < 0 && (errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT);
  if (probe >= 0) sys_close_socket(probe);
  return !absent;
}
