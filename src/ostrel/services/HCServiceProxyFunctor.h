#pragma once

// The functor of every service the business logic answers: fills the service's
// template, sends the document to the business-logic plug-in and returns its
// reply. Every failure is a ServiceError: a status of the plug-in's own, or the
// business logic's own error document.

#include <string>

#include <stdexcept>

#include "ostrel/services/BuilderRegistry.h"
#include "ostrel/services/HCServiceProxyConfigNotFoundException.h"
#include "ostrel/services/ServiceError.h"
#include "ostrel/services/Functor.h"
#include "ostrel/services/ReflectiveObject.h"
#include "ostrel/services/ServiceTable.h"
#include "ostrel/services/WaitingCalls.h"

class HCServiceProxyFunctor : public Functor, public ReflectiveObject {
 public:
  // Every operation path goes to this topic prefix.
  static constexpr const char* kBusinessLogicTarget = "target:/KivraBusinessLogic/";

  // Calls wait within `context.waitingCalls` (none: without a bound).
  explicit HCServiceProxyFunctor(const FunctorContext& context = {});

  std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                         const std::string& rawRequest) override;

  // Sends the document as the operation and returns the "SUCCESS" reply's text.
  std::string sendMsgToBizl(const std::string& document, const std::string& operationPath);

  // How long a call waits for the business logic, in seconds.
  int replyTimeoutSeconds = 120;


 protected:
  // Throws the ServiceError of status -13 with this message.
  [[noreturn]] static void throwStatusError(const std::string& message);
  // Runs `call`, turning a failure into a ServiceError: a missing table row is
  // named, and anything but a ServiceError or a std::logic_error (passed on as
  // it is) is unexpected.
  template <typename Call>
  static std::string asServiceCall(const char* unexpected, Call call);

  const ServiceConfig& lookup(const std::string& servicePath) const;

  ServiceTablePtr table_;
  WaitingCalls* const waitingCalls_;
};

template <typename Call>
std::string HCServiceProxyFunctor::asServiceCall(const char* unexpected, Call call) {
  try {
    return call();
  } catch (const ServiceError&) {
    throw;
  } catch (const HCServiceProxyConfigNotFoundException& missing) {
    throwStatusError(missing.what());
  } catch (const std::logic_error&) {
    // "The proxy configuration was not initializated." passes as it is.
    throw;
  } catch (...) {
    throwStatusError(unexpected);
  }
}

class BuilderHCServiceProxyFunctor : public Builder {
 public:
  std::string name() const override { return "HCServiceProxyFunctor"; }
  std::unique_ptr<ReflectiveObject> create(const FunctorContext& context) const override {
    return std::make_unique<HCServiceProxyFunctor>(context);
  }
};
