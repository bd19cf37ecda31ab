#pragma once

// An update package of the HTML user interface: a zip file with the new UI laid
// out relative to the HTML root and "UXUpdateManifest.xml" at its root.

#include <cstdint>
#include <string>

#include "ostrel/uicontext/ReflectiveRecord.h"

class KivraUXUpdatePackage : public ReflectiveRecord {
 public:
  static constexpr const char* kManifest = "UXUpdateManifest.xml";

  ~KivraUXUpdatePackage() override = default;

  // Fills the fields from the manifest inside the zip, unpacking nothing. Throws
  // UXUpdatePackageException for a missing file or manifest; the reflective
  // reader's errors pass through.
  virtual void readDescriptor(const std::string& packagePath);
  // Extracts every entry below `destination` and removes the extracted manifest.
  // Throws UXUpdatePackageException when the archive cannot be unpacked whole.
  virtual void unPackage(const std::string& packagePath, const std::string& destination);

  std::string typeName() const override { return "KivraUXUpdatePackage"; }
  void visitFields(FieldVisitor& visitor) override;

  std::string Id;  // the UI type the package is meant for
  std::string Version;
  int32_t OSType = 0;
  int32_t DeviceType = 0;
  int32_t StoreId = 0;
  int32_t AffiliateId = 0;
  std::string HCVersion;  // the store client version the package requires
};
