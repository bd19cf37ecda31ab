#include "ostrel/services/StartupErrors.h"

void StartupErrors::append(const std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  errors_.push_back(error);
}

std::vector<std::string> StartupErrors::list() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void StartupErrors::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  errors_.clear();
}
