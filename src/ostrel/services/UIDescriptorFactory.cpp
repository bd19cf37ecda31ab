#include "ostrel/services/UIDescriptorFactory.h"

#include <mutex>

#include "ostrel/services/KivraUIDescriptor.h"
#include "ostrel/services/UIType.h"

bool UIDescriptorFactory::registerBuilder(const std::string& uiType, Builder builder) {
  if (!isSafeUIType(uiType) || !builder) return false;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  return builders_.emplace(uiType, std::move(builder)).second;
}

UIDescriptorPtr UIDescriptorFactory::create(const std::string& uiType) const {
  Builder builder;
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = builders_.find(uiType);
    if (it == builders_.end()) return nullptr;
    builder = it->second;
  }
  return builder();
}

UIDescriptorFactory::Builder UIDescriptorFactory::kivraBuilder(const std::string& uiType, const std::string& htmlRoot) {
  return [uiType, htmlRoot] {
    auto descriptor = std::make_shared<KivraUIDescriptor>(uiType, htmlRoot);
    descriptor->load();
    return descriptor;
  };
}
