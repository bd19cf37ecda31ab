#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/RequestGate.h"
#include "ostrel/web/ResourcesStorage.h"
#include "ostrel/web/SecurityValidations.h"

struct EngineContext;

// The plug-in's handle on its HTTP engine: starts it with the plug-in's fixed
// options and its request gate, and stops it.
class WebServer {
 public:
  // The receivers of service calls and event channels; files go to a resource
  // storage of the server's own unless one is given. The default validations
  // ask the kernel for each client's owner.
  explicit WebServer(Receivers receivers = {}, std::shared_ptr<SecurityValidations> validations = nullptr);
  // Does not stop the engine: the owner stops it first.
  virtual ~WebServer() = default;
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // True when the engine runs. A failed start logs nothing: its reason, the
  // engine's last message, is `lastStartFailure()`, for the caller to judge.
  bool start(const std::string& port, int threads, const std::string& accessControlList, int wsTimeout,
             int responseCoding, const std::string& documentRoot, bool referrerCheck, bool keepAlive);
  // Closes the channels the receivers keep, then stops the engine.
  void stop();
  EngineContext* context() const { return context_; }
  RequestGate::EngineMessage lastStartFailure() const { return gate_.lastStartMessage(); }
  // The origins a Referer or Origin may name while the server runs.
  std::vector<std::string> servedOrigins() const { return gate_.origins()->list(); }
  bool referrerCheck() const { return gate_.referrerCheck(); }
  ResourcesStorage& resources() { return resources_; }

 private:
  ResourcesStorage resources_;
  Receivers receivers_;
  std::shared_ptr<SecurityValidations> validations_;
  RequestGate gate_;
  EngineContext* context_ = nullptr;
};
