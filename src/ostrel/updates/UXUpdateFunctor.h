#pragma once

// The UX update services, answered from the update manager without asking the
// business logic: "1.0/UXUpdate/uxUpdate", "1.0/UXUpdate/getUxVersion" and
// "1.0/UXUpdate/uxWasUpdated".

#include <memory>
#include <string>

#include "ostrel/services/HCServiceProxyFunctor.h"

class UXUpdateFunctor : public HCServiceProxyFunctor {
 public:
  // The update manager, the UI contexts (for the reply's format) and the
  // pending reliable events of the running plug-in.
  explicit UXUpdateFunctor(const FunctorContext& context) : HCServiceProxyFunctor(context), context_(context) {}

  std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                         const std::string& rawRequest) override;

 private:
  std::string takePendingEvent();

  const FunctorContext context_;
};

class BuilderUXUpdateFunctor : public Builder {
 public:
  std::string name() const override { return "UXUpdateFunctor"; }
  std::unique_ptr<ReflectiveObject> create(const FunctorContext& context) const override {
    return std::make_unique<UXUpdateFunctor>(context);
  }
};
