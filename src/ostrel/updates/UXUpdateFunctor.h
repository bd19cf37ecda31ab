#pragma once

// The UX update services, answered from the update manager without asking the
// business logic: "1.0/UXUpdate/uxUpdate", "1.0/UXUpdate/getUxVersion" and
// "1.0/UXUpdate/uxWasUpdated".

#include <memory>
#include <string>

#include "ostrel/updates/UXUpdateManager.h"
#include "ostrel/services/HCServiceProxyFunctor.h"

class UXUpdateFunctor : public HCServiceProxyFunctor {
 public:
  // Without a manager every call goes to the process-wide one, looked up at the
  // call (the functor is made before the start sequence sets the HTML root).
  explicit UXUpdateFunctor(UXUpdateManagerPtr manager = nullptr) : manager_(std::move(manager)) {}

  std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                         const std::string& rawRequest) override;

  // The callback of the updates the services and the delivery handler start:
  // progress is not reported anywhere; an empty message is logged.
  static void updateCallback(const UpdateMsgPtr& message);

 private:
  UXUpdateManagerPtr manager() const;

  UXUpdateManagerPtr manager_;
};

class BuilderUXUpdateFunctor : public Builder {
 public:
  std::string name() const override { return "UXUpdateFunctor"; }
  std::unique_ptr<ReflectiveObject> create() const override { return std::make_unique<UXUpdateFunctor>(); }
};
