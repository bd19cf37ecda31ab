#include "ostrel/web/ResourcesStorage.h"

void ResourcesStorage::process(MessagePtr& result, const std::string&, const std::string&, const SocketPtr&) {
  result = std::make_shared<Message>("", Message::StaticResource);
}

void ResourcesStorage::setHtmlRoot(const std::string& root) {
  std::lock_guard<std::mutex> lock(mutex_);
  htmlRoot_ = root;
}

std::string ResourcesStorage::htmlRoot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return htmlRoot_;
}
