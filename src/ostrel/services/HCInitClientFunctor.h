#pragma once

// "1.0/Process/startInitialization": sends the session initialisation with the
// UI's own store data, and answers with the UI descriptor, the session reply
// and the pending event of the events topic.

#include "ostrel/services/HCServiceProxyFunctor.h"

class HCInitClientFunctor : public HCServiceProxyFunctor {
 public:
  // The UI contexts and the pending reliable events of the running plug-in.
  explicit HCInitClientFunctor(const FunctorContext& context) : HCServiceProxyFunctor(context), context_(context) {}

  std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                         const std::string& rawRequest) override;

 private:
  const FunctorContext context_;
};

class BuilderHCInitClientFunctor : public Builder {
 public:
  std::string name() const override { return "HCInitClientFunctor"; }
  std::unique_ptr<ReflectiveObject> create(const FunctorContext& context) const override {
    return std::make_unique<HCInitClientFunctor>(context);
  }
};
