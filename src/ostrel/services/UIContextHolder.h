#pragma once

// UI contexts by key: a session identifier, or a UI type name.

#include <map>
#include <shared_mutex>
#include <string>

#include "ostrel/services/UIDescriptor.h"

class UIContextHolder {
 public:
  // Empty when the key has no context.
  UIDescriptorPtr get(const std::string& key) const;
  void put(const std::string& key, const UIDescriptorPtr& descriptor);

 private:
  // Guards contexts_: workers read while others put.
  mutable std::shared_mutex mutex_;
  std::map<std::string, UIDescriptorPtr> contexts_;
};
