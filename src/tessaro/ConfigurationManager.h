#pragma once

// The host's configuration service: one store of string values per scope, read
// key by key. The host fills it from its configuration file; tests fill it in
// memory.

#include <map>
#include <shared_mutex>
#include <string>

enum ConfigurationScope {
  ConfigScopeComponent = 0,  // a plug-in's own settings
  ConfigScopeShared = 1,     // settings shared by the host's services
};

class ConfigurationManager {
 public:
  // The manager of a scope; null for a scope the host does not know.
  static ConfigurationManager* getDefaultInstance(const ConfigurationScope& scope);

  virtual ~ConfigurationManager() = default;
  virtual ConfigurationScope getScope() const;
  // 0 when the key was found and `value` written; non-zero otherwise.
  virtual int getValue(const std::string& key, std::string& value) const;

  void setValue(const std::string& key, const std::string& value);
  void removeValue(const std::string& key);
  void clear();

 private:
  explicit ConfigurationManager(ConfigurationScope scope) : scope_(scope) {}

  ConfigurationScope scope_;
  // Guards values_: read by any plug-in thread, written by the host or tests.
  mutable std::shared_mutex mutex_;
  std::map<std::string, std::string> values_;
};
