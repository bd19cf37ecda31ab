#pragma once

// The web front has no fixed port: the engine is started on one port after
// another from 8091 until a start succeeds on every loopback address it serves
// (127.0.0.1, 127.0.1.1 and [::1]), and the port it got is published in the
// current user's registry ("Software\Corvane\Tessaro", "OstrelPort"). Where
// another program holds a secondary address on every port, the server does
// without it rather than not serve at all.

#include <chrono>
#include <string>
#include <vector>

class WebServer;

class PortSelection {
 public:
  static constexpr int kFirstPort = 8091;
  static constexpr int kLastPort = 10000;
  static constexpr int kSaveRetries = 5;

  explicit PortSelection(WebServer& server) : server_(server) {}

  // Starts the server on the first port it can have and saves that port (0 when
  // none); returns it.
  int startServer(const std::string& documentRoot, bool referrerCheck, bool keepAlive);
  // The engine's "listening_ports" value for these addresses on a port.
  static std::string listeningPorts(const std::vector<std::string>& addresses, int port);
  // The address sets to try, one after another, each on every port.
  static std::vector<std::vector<std::string>> addressSets(bool withIPv6);
  // Writes the port; on failure tries again after `retryDelay`, `retriesLeft` more times.
  bool savePort(int port, int retriesLeft);

  // Pause between two save attempts.
  std::chrono::milliseconds retryDelay{1000};

 private:
  int firstFreePort(const std::vector<std::string>& addresses, bool logBusyPorts, const std::string& documentRoot,
                    bool referrerCheck, bool keepAlive);

  WebServer& server_;
};
