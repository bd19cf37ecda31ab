#pragma once

// "1.0/Profile/setUserPreference": one business-logic call per request
// parameter, in name order, stopping at the first reply without success.

#include "ostrel/services/HCServiceProxyFunctor.h"

class HCSetUserPreferenceFunctor : public HCServiceProxyFunctor {
 public:
  // The UI contexts of the running plug-in.
  explicit HCSetUserPreferenceFunctor(const FunctorContext& context) : HCServiceProxyFunctor(context), context_(context) {}

  std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                         const std::string& rawRequest) override;

 private:
  const FunctorContext context_;
};

class BuilderHCSetUserPreferenceFunctor : public Builder {
 public:
  std::string name() const override { return "HCSetUserPreferenceFunctor"; }
  std::unique_ptr<ReflectiveObject> create(const FunctorContext& context) const override {
    return std::make_unique<HCSetUserPreferenceFunctor>(context);
  }
};
