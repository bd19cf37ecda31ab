#pragma once

// Makes UI descriptors by UI type name. The start sequence registers the builder
// of the default UI type; the service pipeline and the event channels create
// descriptors through it.

#include <functional>
#include <map>
#include <shared_mutex>
#include <string>

#include "ostrel/services/UIDescriptor.h"

class UIDescriptorFactory {
 public:
  using Builder = std::function<UIDescriptorPtr()>;

  // A name already registered keeps its first builder; false then, and for a
  // name that is no safe UI type (isSafeUIType) or an empty builder.
  bool registerBuilder(const std::string& uiType, Builder builder);
  // Null when no builder has the name.
  UIDescriptorPtr create(const std::string& uiType) const;

  // The builder the start sequence registers: a KivraUIDescriptor of that type,
  // loaded from its folder under `htmlRoot`.
  static Builder kivraBuilder(const std::string& uiType, const std::string& htmlRoot);

 private:
  mutable std::shared_mutex mutex_;  // guards builders_
  std::map<std::string, Builder> builders_;
};
