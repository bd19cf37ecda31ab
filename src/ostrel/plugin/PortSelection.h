#pragma once

// The web front has no fixed port: the engine is started on one port after
// another from 8091 until a start succeeds, and the port it got is published in
// the current user's registry ("Software\Corvane\Tessaro", "OstrelPort").

#include <chrono>
#include <string>

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
  // The engine's "listening_ports" value for a port.
  static std::string listeningPorts(int port);
  // Writes the port; on failure tries again after `retryDelay`, `retriesLeft` more times.
  bool savePort(int port, int retriesLeft);

  // Pause between two save attempts.
  std::chrono::milliseconds retryDelay{1000};

 private:
  WebServer& server_;
};
