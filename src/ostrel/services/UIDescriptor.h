#pragma once

#include <memory>
#include <string>

#include "ostrel/services/KivraSessionProperties.h"
#include "ostrel/services/ReflectiveRecord.h"

// The in-memory form of a UI's manifest. One per UI type (and per session);
// read-only once loaded, shared by every request of its UI type or session.
class UIDescriptor : public ReflectiveRecord {
 public:
  explicit UIDescriptor(std::string uiType)
      : uiType_(std::move(uiType)), sessionProperties_(std::make_shared<KivraSessionProperties>()) {}
  ~UIDescriptor() override = default;

  // The folder of this UI type under the HTML root.
  virtual std::string uiFolder() const = 0;
  // Reads the manifest of the UI folder.
  virtual void load() = 0;
  virtual void readFromText(const std::string& text) = 0;
  virtual std::string writeToText() = 0;

  const std::string& uiType() const { return uiType_; }
  int32_t outputFormat() const { return outputFormat_; }
  const std::string& version() const { return version_; }
  const KivraSessionPropertiesPtr& sessionProperties() const { return sessionProperties_; }

 protected:
  std::string uiType_;
  int32_t outputFormat_ = 0;
  std::string version_;
  KivraSessionPropertiesPtr sessionProperties_;
};

using UIDescriptorPtr = std::shared_ptr<UIDescriptor>;
