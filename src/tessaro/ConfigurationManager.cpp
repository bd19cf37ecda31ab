#include "tessaro/ConfigurationManager.h"

#include <mutex>

ConfigurationManager* ConfigurationManager::getDefaultInstance(const ConfigurationScope& scope) {
  static ConfigurationManager component(ConfigScopeComponent);
  static ConfigurationManager shared(ConfigScopeShared);
  switch (scope) {
    case ConfigScopeComponent:
      return &component;
    case ConfigScopeShared:
      return &shared;
  }
  return nullptr;
}

ConfigurationScope ConfigurationManager::getScope() const { return scope_; }

int ConfigurationManager::getValue(const std::string& key, std::string& value) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return 1;
  value = it->second;
  return 0;
}

void ConfigurationManager::setValue(const std::string& key, const std::string& value) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  values_[key] = value;
}

void ConfigurationManager::removeValue(const std::string& key) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  values_.erase(key);
}

void ConfigurationManager::clear() {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  values_.clear();
}
