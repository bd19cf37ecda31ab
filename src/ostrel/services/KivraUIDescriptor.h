#pragma once

#include <vector>

#include "ostrel/services/UIDescriptor.h"

struct KivraLocale : public ReflectiveRecord {
  std::string typeName() const override { return "KivraLocale"; }
  void visitFields(FieldVisitor& visitor) override;
  std::string ISOCode, Language, Country, ResourceFileName;
};

struct KivraFeature : public ReflectiveRecord {
  std::string typeName() const override { return "KivraFeature"; }
  void visitFields(FieldVisitor& visitor) override;
  std::string Name;
  bool Enabled = false;
};

// A UI's manifest, "UXManifest.xml" in its folder.
class KivraUIDescriptor : public UIDescriptor {
 public:
  static constexpr const char* kManifest = "UXManifest.xml";

  // The UI's folder is `htmlRoot`/`uiType`. The descriptor keeps this UI type
  // whatever a manifest names: the type is the folder it was installed under.
  explicit KivraUIDescriptor(const std::string& uiType, std::string htmlRoot = "")
      : UIDescriptor(uiType), installedType_(uiType), htmlRoot_(std::move(htmlRoot)) {}

  // Empty when the UI type is not one safe folder name (isSafeUIType).
  std::string uiFolder() const override;
  // A missing manifest, or a UI type that names no folder, is logged and
  // leaves the constructed values.
  void load() override;
  // Assigns fields in manifest order up to the first missing element; logs a
  // failure and never throws. A manifest naming another UI type is logged;
  // the descriptor's type stays.
  void readFromText(const std::string& text) override;
  // The UI type the manifest last read named; empty when it named none.
  const std::string& manifestUIType() const { return manifestUIType_; }
  // Empty (and logged) when it cannot be written.
  std::string writeToText() override;
  std::string writeToJson();

  std::string typeName() const override { return "KivraUIDescriptor"; }
  void visitFields(FieldVisitor& visitor) override;

  int32_t storeId() const { return storeId_; }
  int32_t affiliateId() const { return affiliateId_; }
  const std::vector<KivraLocale>& supportedLocaleCodes() const { return locales_; }
  const std::vector<KivraFeature>& supportedFeatures() const { return features_; }

 private:
  const std::string installedType_;
  const std::string htmlRoot_;
  std::string manifestUIType_;
  int32_t storeId_ = 0;
  int32_t affiliateId_ = 0;
  std::vector<KivraLocale> locales_;
  std::vector<KivraFeature> features_;
};
