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

  // The UI's folder is `htmlRoot`/`uiType`.
  explicit KivraUIDescriptor(std::string uiType, std::string htmlRoot = "")
      : UIDescriptor(std::move(uiType)), htmlRoot_(std::move(htmlRoot)) {}

  std::string uiFolder() const override;
  // A missing manifest is logged and leaves the constructed values.
  void load() override;
  // Assigns fields in manifest order up to the first missing element; logs a
  // failure and never throws.
  void readFromText(const std::string& text) override;
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
  const std::string htmlRoot_;
  int32_t storeId_ = 0;
  int32_t affiliateId_ = 0;
  std::vector<KivraLocale> locales_;
  std::vector<KivraFeature> features_;
};
