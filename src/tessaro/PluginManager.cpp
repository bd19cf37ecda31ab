#include "tessaro/PluginManager.h"

#include <dlfcn.h>

PluginManager& PluginManager::getInstance() {
  static PluginManager manager;
  return manager;
}

int32_t PluginManager::registerObject(const char* objectType, const PF_RegisterParams* params) {
  if (!objectType || !*objectType || !params || !params->createFunc || !params->destroyFunc ||
      params->version.major != 1)
    return -1;
  PluginManager& self = getInstance();
  std::lock_guard<std::mutex> lock(self.mutex_);
  if (!self.factories_.emplace(objectType, *params).second) return -1;
  if (self.registering_) self.registering_->push_back(objectType);
  return 0;
}

bool PluginManager::load(const std::string& path, std::vector<std::string>& types,
                         std::string& error) {
  // Libraries stay loaded for the life of the process: their static objects may
  // still be referenced by host threads until exit.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = std::string("cannot load plug-in: ") + (why ? why : "unknown error");
    return false;
  }
  auto init = reinterpret_cast<PF_InitFunc>(dlsym(handle, "PF_initPlugin"));
  if (!init) {
    error = "not a plug-in: PF_initPlugin is missing";
    return false;
  }

  std::vector<std::string> registered;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    registering_ = &registered;
  }
  PF_PlatformServices services{{1, 0}, &PluginManager::registerObject};
  PF_ExitFunc exitFunc = init(&services);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    registering_ = nullptr;
  }
  if (!exitFunc) {
    error = "plug-in registration was refused";
    return false;
  }
  if (registered.empty()) {
    error = "plug-in registered no component type";
    return false;
  }
  types = registered;
  return true;
}

IComponent* PluginManager::createObject(const std::string& type) {
  PF_CreateFunc create = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = factories_.find(type);
    if (it == factories_.end()) return nullptr;
    create = it->second.createFunc;
  }
  return static_cast<IComponent*>(create(nullptr));
}

int PluginManager::destroyObject(const std::string& type, IComponent* object) {
  PF_DestroyFunc destroy = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = factories_.find(type);
    if (it == factories_.end()) return -1;
    destroy = it->second.destroyFunc;
  }
  return destroy(object);
}

bool PluginManager::hasType(const std::string& type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return factories_.count(type) != 0;
}
