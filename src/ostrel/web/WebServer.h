#pragma once

#include <atomic>
#include <string>

struct EngineContext;

// The plug-in's handle on its HTTP engine.
class WebServer {
 public:
  WebServer() = default;
  // Does not stop the engine: the owner stops it first.
  virtual ~WebServer() = default;
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // True when the engine runs; logs "Internal Server failed to start" otherwise.
  bool start(const std::string& port, int threads, const std::string& accessControlList, int wsTimeout,
             int responseCoding, const std::string& documentRoot, bool referrerCheck, bool keepAlive);
  void stop();

  EngineContext* context() const { return context_; }

  // Process-wide: written by start while no engine runs, read by every request.
  static bool referrerCheck() { return referrerCheck_; }

 private:
  EngineContext* context_ = nullptr;
  static std::atomic<bool> referrerCheck_;
};
