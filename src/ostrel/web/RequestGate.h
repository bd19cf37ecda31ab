#pragma once

// The single gate of the web front: every engine event passes through here. A
// new connection is refused before its first byte unless the client process is
// of the same user or an administrator; a new request is admitted (the Host
// names this machine, the Referer names this server, a POST body is read into
// the query), routed to its receiver and answered; engine errors get a bare
// status line.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "ostrel/engine/engine.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/ReportLimit.h"
#include "ostrel/web/SecurityValidations.h"
#include "ostrel/web/ServedOrigins.h"

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
  // The origins a Referer or Origin may name; none until the engine listens.
  void setOrigins(ServedOrigins origins);
  std::shared_ptr<const ServedOrigins> origins() const;

  Result onEvent(mg_event event, Connection* connection, RequestInfo* request);

  // While an engine starts, its messages are kept for the starter to judge (a
  // busy port is no error) instead of being logged.
  struct EngineMessage {
    std::string text;
    int error = 0;  // the system error behind it (errno), or 0
  };
  void keepStartMessages(bool keep);
  // The last message kept since keepStartMessages(true).
  EngineMessage lastStartMessage() const;

 private:
  Result refuseForeignClient(Connection* connection);
  Result admit(Connection* connection, RequestInfo* request);
  Result serve(Connection* connection, RequestInfo* request, const std::string& query, const std::string& uri);
  bool clientMayConnect(Connection* connection);
  bool referrerCheckApplies(const std::string& uri) const;

  bool keptEngineMessage(const RequestInfo* request);

  const Receivers& receivers_;
  SecurityValidations& validations_;
  std::atomic<bool> referrerCheck_{true};
  std::atomic<int> responseCoding_{1};
  // Written at start while workers may read it: only through atomic_load/store.
  std::shared_ptr<const ServedOrigins> origins_ = std::make_shared<ServedOrigins>();
  // Refused requests logged a second at most; the others are counted.
  ReportLimit refusalReports_{10};
  std::atomic<bool> keepStartMessages_{false};
  mutable std::mutex startMessageLock_;  // guards startMessage_
  EngineMessage startMessage_;
};

// The engine's callback: the gate is the engine's user data. The gate's result
// becomes the engine's pointer here and only here.
void* ostrelRequestCallback(mg_event event, Connection* connection, RequestInfo* request);
