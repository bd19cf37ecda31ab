#pragma once

// An update package of the HTML user interface: a zip file with the new UI laid
// out relative to the HTML root and "UXUpdateManifest.xml" at its root.

#include <cstdint>
#include <string>

#include "ostrel/updates/PackageArchive.h"
#include "ostrel/updates/UXPackageLimits.h"
#include "ostrel/services/ReflectiveRecord.h"

class KivraUXUpdatePackage : public ReflectiveRecord {
 public:
  static constexpr const char* kManifest = "UXUpdateManifest.xml";

  // `copyDirectory` receives the private copy that a package is read from (the
  // system's temporary folder when empty); best on the file system it is
  // unpacked to.
  explicit KivraUXUpdatePackage(UXPackageLimits limits = {}, std::string copyDirectory = "")
      : limits_(limits), copyDirectory_(std::move(copyDirectory)) {}
  ~KivraUXUpdatePackage() override = default;

  // Fills the fields from the manifest inside a private copy of the zip,
  // unpacking nothing, and keeps that copy open for unPackage. Throws
  // UXUpdatePackageException for a missing file or manifest; the reflective
  // reader's errors pass through.
  virtual void readDescriptor(const std::string& packagePath);
  // Extracts every entry below `destination` and removes the extracted manifest
  // under the name it is stored as. For the path readDescriptor read, the very
  // copy it read is unpacked (and closed); another path is copied anew. Throws
  // UXUpdatePackageException when the archive cannot be unpacked whole within
  // the limits.
  virtual void unPackage(const std::string& packagePath, const std::string& destination);
  // The name of the first entry of the copy readDescriptor kept that the web
  // server would read as a control file (UnzipExtract::isControlFileName);
  // empty when there is none or no copy is kept.
  std::string controlEntry() const;
  // Closes the copy readDescriptor kept, if unPackage did not.
  void releaseArchive() { archive_.reset(); }

  const UXPackageLimits& limits() const { return limits_; }

  std::string typeName() const override { return "KivraUXUpdatePackage"; }
  void visitFields(FieldVisitor& visitor) override;

  std::string Id;  // the UI type the package is meant for
  std::string Version;
  int32_t OSType = 0;
  int32_t DeviceType = 0;
  int32_t StoreId = 0;
  int32_t AffiliateId = 0;
  std::string HCVersion;  // the store client version the package requires

 private:
  // The copy readDescriptor read when it was of this path, else a new one.
  PackageArchivePtr takeArchive(const std::string& packagePath);

  UXPackageLimits limits_;
  std::string copyDirectory_;
  PackageArchivePtr archive_;  // the copy readDescriptor read
  std::string manifestEntry_;  // the manifest's name as stored in archive_
};
