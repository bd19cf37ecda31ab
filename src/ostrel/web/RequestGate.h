#pragma once

// The single gate of the web front: every engine event passes through here. A
// new connection is refused before its first byte unless the client process is
// of the same user or an administrator; a new request is admitted (the Host
// names this machine, the Referer names this server, a POST body is read into
// the query), routed to its receiver and answered; engine errors get a bare
// status line.

#include <atomic>
#include <string>

#include "ostrel/engine/engine.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/SecurityValidations.h"

class RequestGate {
 public:
  enum class Result { EngineContinues, Handled };

  RequestGate(const Receivers& receivers, SecurityValidations& validations)
      : receivers_(receivers), validations_(validations) {}

  // Read from the engine's options once, at start, before requests arrive.
  void configure(bool referrerCheck, int responseCoding) {
    referrerCheck_ = referrerCheck;
    responseCoding_ = responseCoding;
  }
  bool referrerCheck() const { return referrerCheck_; }

  Result onEvent(mg_event event, Connection* connection, RequestInfo* request);

 private:
  Result refuseForeignClient(Connection* connection, const RequestInfo* request);
  Result admit(Connection* connection, RequestInfo* request);
  Result serve(Connection* connection, RequestInfo* request, const std::string& query, const std::string& uri);
  bool clientMayConnect(Connection* connection, const RequestInfo* request);
  bool referrerCheckApplies(const std::string& uri) const;

  const Receivers& receivers_;
  SecurityValidations& validations_;
  std::atomic<bool> referrerCheck_{true};
  std::atomic<int> responseCoding_{1};
};

// The engine's callback: the gate is the engine's user data. The gate's result
// becomes the engine's pointer here and only here.
void* ostrelRequestCallback(mg_event event, Connection* connection, RequestInfo* request);
