#pragma once

// The host side of plug-in loading: opens a library, runs its registration and
// creates and destroys components through the recorded factories.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tessaro/IComponent.h"
#include "tessaro/PluginInterface.h"

class PluginManager {
 public:
  static PluginManager& getInstance();

  // Loads the library and calls its PF_initPlugin. On success returns true and
  // fills `types` with the object types it registered; otherwise `error` says why.
  bool load(const std::string& path, std::vector<std::string>& types, std::string& error);

  // Null when the type is unknown or the factory gives nothing.
  IComponent* createObject(const std::string& type);
  // Returns the destroy function's result, or -1 when the type is unknown.
  int destroyObject(const std::string& type, IComponent* object);

  bool hasType(const std::string& type) const;

  // Registration entry point handed to plug-ins (public for tests that play host).
  static int32_t registerObject(const char* objectType, const PF_RegisterParams* params);

 private:
  PluginManager() = default;

  // Guards the factories and the list of types registered by the current load.
  mutable std::mutex mutex_;
  std::map<std::string, PF_RegisterParams> factories_;
  std::vector<std::string>* registering_ = nullptr;
};
