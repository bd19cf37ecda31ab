#pragma once

// "1.0/Process/getAvailability": the plug-in's start-up errors, answered without
// asking the business logic.

#include "ostrel/services/HCServiceProxyFunctor.h"

class HCAvailabilityFunctor : public HCServiceProxyFunctor {
 public:
  // The UI contexts and the start-up errors of the running plug-in.
  explicit HCAvailabilityFunctor(const FunctorContext& context) : HCServiceProxyFunctor(context), context_(context) {}

  std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                         const std::string& rawRequest) override;

 private:
  const FunctorContext context_;
};

class BuilderHCAvailabilityFunctor : public Builder {
 public:
  std::string name() const override { return "HCAvailabilityFunctor"; }
  std::unique_ptr<ReflectiveObject> create(const FunctorContext& context) const override {
    return std::make_unique<HCAvailabilityFunctor>(context);
  }
};
