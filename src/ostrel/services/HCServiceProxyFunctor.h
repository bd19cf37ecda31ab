#pragma once

// The functor of every service the business logic answers: fills the service's
// template, sends the document to the business-logic plug-in and returns its
// reply. Every failure is a std::logic_error whose message is a status document
// (or the business logic's own error document).

#include <string>

#include "ostrel/plugin/BuilderRegistry.h"
#include "ostrel/services/Functor.h"
#include "ostrel/services/ReflectiveObject.h"
#include "ostrel/services/ServiceTable.h"
#include "ostrel/services/WaitingCalls.h"

class HCServiceProxyFunctor : public Functor, public ReflectiveObject {
 public:
  HCServiceProxyFunctor();

  std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                         const std::string& rawRequest) override;

  // Sends the document as the operation and returns the "SUCCESS" reply's text.
  std::string sendMsgToBizl(const std::string& document, const std::string& operationPath);

  // How long a call waits for the business logic, in seconds.
  int replyTimeoutSeconds = 120;

  // The calls of every business-logic functor waiting at one time. One bound
  // for the process, since they all wait on the one engine's workers.
  static WaitingCalls& waitingCalls();

 protected:
  // Throws std::logic_error carrying a status document with code -13.
  [[noreturn]] static void throwStatusError(const std::string& message);

  const ServiceConfig& lookup(const std::string& servicePath) const;

  ServiceTablePtr table_;
};

class BuilderHCServiceProxyFunctor : public Builder {
 public:
  std::string name() const override { return "HCServiceProxyFunctor"; }
  std::unique_ptr<ReflectiveObject> create() const override { return std::make_unique<HCServiceProxyFunctor>(); }
};
