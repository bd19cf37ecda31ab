#include "tessaro/host/HostComponents.h"

#include "tessaro/PluginManager.h"

bool createComponents(const std::vector<std::string>& plugins, std::vector<HostComponent>& components,
                      std::string& failed, std::string& error) {
  for (const std::string& plugin : plugins) {
    std::vector<std::string> types;
    if (!PluginManager::getInstance().load(plugin, types, error)) {
      failed = plugin;
      return false;
    }
    for (const std::string& type : types) {
      IComponent* object = PluginManager::getInstance().createObject(type);
      if (!object) {
        failed = plugin;
        error = "the factory of '" + type + "' created nothing";
        return false;
      }
      components.push_back({type, plugin, object});
    }
  }
  return true;
}

void destroyComponents(std::vector<HostComponent>& components) {
  for (auto it = components.rbegin(); it != components.rend(); ++it)
    PluginManager::getInstance().destroyObject(it->type, it->object);
  components.clear();
}
