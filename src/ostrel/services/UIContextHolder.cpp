#include "ostrel/services/UIContextHolder.h"

#include <mutex>

UIDescriptorPtr UIContextHolder::get(const std::string& key) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto it = contexts_.find(key);
  return it == contexts_.end() ? nullptr : it->second;
}

void UIContextHolder::put(const std::string& key, const UIDescriptorPtr& descriptor) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  contexts_[key] = descriptor;
}
