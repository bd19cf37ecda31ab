#include "ostrel/web/ServedOrigins.h"

#include <strings.h>

#include "ostrel/engine/address.h"
#include "ostrel/engine/engine.h"

namespace {

// The host by which a browser names a listener's address: a listener on every
// address is reached through the loopback one.
std::string hostOf(const SocketAddress& address) {
  char text[INET6_ADDRSTRLEN];
  address_to_text(&address, text, sizeof text);
  const std::string host = text;
  if (address.sa.sa_family == AF_INET6) return host == "::" ? "[::1]" : "[" + host + "]";
  return host == "0.0.0.0" ? "127.0.0.1" : host;
}

// The decimal port of an authority: digits only, no leading zero, 1 to 65535.
bool parsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5 || text[0] == '0' || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long value = std::stoul(text);
  if (value > 65535) return false;
  port = uint16_t(value);
  return true;
}

}  // namespace

ServedOrigins ServedOrigins::ofListeners(const SocketRecord* listeners, bool machineHasIPv6Loopback) {
  ServedOrigins served;
  for (const SocketRecord* listener = listeners; listener; listener = listener->next) {
    if (listener->is_proxy) continue;
    served.add(listener->is_ssl ? "https" : "http", hostOf(listener->local_addr), address_port(&listener->local_addr));
  }
  const std::vector<Origin> found = served.origins_;
  for (const Origin& origin : found) {
    if (origin.host != "127.0.0.1") continue;
    if (served.has(origin.scheme, "[::1]", origin.port) || !machineHasIPv6Loopback)
      served.add(origin.scheme, "localhost", origin.port);
  }
  return served;
}

void ServedOrigins::add(const std::string& scheme, const std::string& host, uint16_t port) {
  if (!has(scheme, host, port)) origins_.push_back({scheme, host, port});
}

bool ServedOrigins::has(const std::string& scheme, const std::string& host, uint16_t port) const {
  for (const Origin& origin : origins_)
    if (origin.scheme == scheme && origin.port == port && strcasecmp(origin.host.c_str(), host.c_str()) == 0)
      return true;
  return false;
}

bool ServedOrigins::names(const std::string& url) const {
  const size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return false;
  const std::string scheme = url.substr(0, schemeEnd);
  if (scheme != "http" && scheme != "https") return false;
  const size_t start = schemeEnd + 3;
  const size_t end = url.find_first_of("/?#", start);
  const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  // An IPv6 literal is bracketed; its colons are not the port's.
  const size_t hostEnd = authority.compare(0, 1, "[") == 0 ? authority.find(']') + 1 : authority.find(':');
  if (hostEnd == 0) return false;
  const std::string host = authority.substr(0, hostEnd);
  uint16_t port = scheme == "https" ? 443 : 80;
  if (hostEnd < authority.size()) {
    if (authority[hostEnd] != ':' || !parsePort(authority.substr(hostEnd + 1), port)) return false;
  }
  return !host.empty() && has(scheme, host, port);
}

std::vector<std::string> ServedOrigins::list() const {
  std::vector<std::string> texts;
  for (const Origin& origin : origins_)
    texts.push_back(origin.scheme + "://" + origin.host + ":" + std::to_string(origin.port));
  return texts;
}
