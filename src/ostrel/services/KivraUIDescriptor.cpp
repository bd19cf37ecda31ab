#include "ostrel/services/KivraUIDescriptor.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/logging/LogRecord.h"
#include "ostrel/services/ReflectiveSerializer.h"
#include "ostrel/services/UIType.h"
#include "tessaro/XMLTool.h"

void KivraLocale::visitFields(FieldVisitor& visitor) {
  visitValue(visitor, "ISOCode", ISOCode);
  visitValue(visitor, "Language", Language);
  visitValue(visitor, "Country", Country);
  visitValue(visitor, "ResourceFileName", ResourceFileName);
}

void KivraFeature::visitFields(FieldVisitor& visitor) {
  visitValue(visitor, "Name", Name);
  visitValue(visitor, "Enabled", Enabled);
}

void KivraUIDescriptor::visitFields(FieldVisitor& visitor) {
  visitValue(visitor, "UIType", uiType_);
  visitValue(visitor, "Version", version_);
  visitValue(visitor, "OutputFormat", outputFormat_);
  visitValue(visitor, "StoreID", storeId_);
  visitValue(visitor, "AffiliateID", affiliateId_);
  visitValue(visitor, "SupportedLocaleCodes", locales_);
  visitValue(visitor, "SupportedFeatures", features_);
}

std::string KivraUIDescriptor::uiFolder() const {
  if (!isSafeUIType(installedType_)) return "";
  return (std::filesystem::path(htmlRoot_) / installedType_).string();
}

void KivraUIDescriptor::load() {
  const std::string folder = uiFolder();
  std::ifstream manifest;
  if (!folder.empty()) manifest.open((std::filesystem::path(folder) / kManifest).string());
  if (!manifest.is_open()) {
    OSTREL_LOG(LOG_ERROR) << "UX Descriptor is not available. " << uiType_;
    return;
  }
  // Words joined without white space: the manifest is read as a stream of words.
  std::string text;
  for (std::istream_iterator<std::string> word(manifest), end; word != end; ++word) text += *word;
  readFromText(text);
}

void KivraUIDescriptor::readFromText(const std::string& text) {
  // The reader assigns the type first; what it finds is only compared.
  uiType_.clear();
  bool parsed = true;
  try {
    ReflectiveSerializer::readXml(text, typeName(), *this);
  } catch (const std::exception&) {
    parsed = false;
  }
  manifestUIType_ = uiType_;
  uiType_ = installedType_;
  if (!parsed) OSTREL_LOG(LOG_ERROR) << "Couldn't parse the UX manifest. " << uiType_;
  if (!manifestUIType_.empty() && manifestUIType_ != installedType_)
    OSTREL_LOG(LOG_ERROR) << "UIType of the UX manifest does not match its folder. (Folder: " << installedType_
                          << ", UIType: " << manifestUIType_ << ")";
}

std::string KivraUIDescriptor::writeToText() {
  try {
    return ReflectiveSerializer::writeXml(*this, typeName());
  } catch (const std::exception&) {
    OSTREL_LOG(LOG_ERROR) << "Couldn't serialize the properties. " << uiType_;
    return "";
  }
}

std::string KivraUIDescriptor::writeToJson() { return ReflectiveSerializer::writeJson(*this, typeName()); }
