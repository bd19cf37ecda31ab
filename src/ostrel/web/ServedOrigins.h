#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SocketRecord;

// The origins by which a browser reaches this server, and so the only ones a
// Referer or an Origin may name: "http://" (or "https://" for a TLS listener),
// an address the server listens on, and its port. "localhost" is one of them
// only where the server holds both loopback addresses on that port (or the
// machine has no IPv6 loopback): a browser may try either, and another user
// could hold the one this server lacks.
class ServedOrigins {
 public:
  // Names no origin: every Referer and Origin is foreign.
  ServedOrigins() = default;
  // The origins of a running engine's listeners.
  static ServedOrigins ofListeners(const SocketRecord* listeners, bool machineHasIPv6Loopback);

  // True when the URL's scheme, host and port are exactly one of these origins
  // (80 or 443 when it names no port); nothing else may stand in its authority.
  bool names(const std::string& url) const;
  // "http://127.0.0.1:8091" and so on, in the order they were found.
  std::vector<std::string> list() const;

 private:
  struct Origin {
    std::string scheme;  // "http" or "https"
    std::string host;    // "127.0.0.1", "[::1]", "localhost"
    uint16_t port;
  };
  void add(const std::string& scheme, const std::string& host, uint16_t port);
  bool has(const std::string& scheme, const std::string& host, uint16_t port) const;

  std::vector<Origin> origins_;
};
