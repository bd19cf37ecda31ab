#include "ostrel/web/LocalAddress.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>

#include "ostrel/engine/engine.h"

namespace {

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

}  // namespace

bool isLocalHostName(const std::string& hostAndPort) {
  std::string host = hostAndPort;
  size_t colon = host.find(':');
  if (colon != std::string::npos) {
    std::string port = host.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos) return false;
    host.erase(colon);
  }
  return strcasecmp(host.c_str(), "localhost") == 0 || isLoopbackLiteral(host);
}

bool namesServer(const std::string& url, uint32_t address, uint16_t port) {
  static const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  const size_t end = url.find_first_of("/?#", scheme.size());
  const std::string authority =
      url.substr(scheme.size(), end == std::string::npos ? std::string::npos : end - scheme.size());
  const std::string dotted = std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
                             std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
  return authority == dotted + ":" + std::to_string(port) || (port == 80 && authority == dotted);
}

bool serverEnd(const Connection* connection, uint32_t& address, uint16_t& port) {
  if (!connection) return false;
  // A listener bound to one address is the local end of all it accepts: the
  // kernel need not be asked again for every request.
  sockaddr_in local = connection->client.local_addr;
  if (local.sin_family != AF_INET || local.sin_addr.s_addr == htonl(INADDR_ANY)) {
    socklen_t length = sizeof local;
    if (getsockname(connection->client.sock, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET)
      return false;
  }
  address = ntohl(local.sin_addr.s_addr);
  port = ntohs(local.sin_port);
  return true;
}
