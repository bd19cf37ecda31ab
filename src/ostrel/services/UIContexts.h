#pragma once

// The UI contexts of the running plug-in: descriptors kept by session
// identifier or UI type name, made through the descriptor factory on first use.

#include <string>

#include "ostrel/services/UIContextHolder.h"
#include "ostrel/services/UIDescriptorFactory.h"

class UIContexts {
 public:
  explicit UIContexts(std::string defaultUIType = "") : defaultUIType_(std::move(defaultUIType)) {}
  // Start-up only, before requests arrive.
  void setDefaultUIType(const std::string& uiType) { defaultUIType_ = uiType; }
  UIContexts(const UIContexts&) = delete;
  UIContexts& operator=(const UIContexts&) = delete;

  UIContextHolder& holder() { return holder_; }
  UIDescriptorFactory& factory() { return factory_; }
  const std::string& defaultUIType() const { return defaultUIType_; }

  // The context kept under `key`; null when there is none.
  UIDescriptorPtr get(const std::string& key) const { return holder_.get(key); }
  // The context of a UI type, made and kept on first use; null when no builder
  // has the name.
  UIDescriptorPtr forUIType(const std::string& uiType);
  UIDescriptorPtr forDefaultUIType() { return forUIType(defaultUIType_); }

 private:
  std::string defaultUIType_;
  UIContextHolder holder_;
  UIDescriptorFactory factory_;
};
