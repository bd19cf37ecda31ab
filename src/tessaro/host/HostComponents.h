#pragma once

// The components of the plug-ins a configuration names, made and destroyed in
// order; shared by the run and the check of a configuration.

#include <string>
#include <vector>

#include "tessaro/IComponent.h"

struct HostComponent {
  std::string type;
  std::string plugin;  // the library that registered the type
  IComponent* object;
};

// Loads each plug-in and creates one component per type it registers. On
// failure returns false with `failed` (the plug-in) and `error` set; what was
// created stays in `components` for the caller to destroy.
bool createComponents(const std::vector<std::string>& plugins, std::vector<HostComponent>& components,
                      std::string& failed, std::string& error);
// Destroys them in reverse order and empties the list.
void destroyComponents(std::vector<HostComponent>& components);
