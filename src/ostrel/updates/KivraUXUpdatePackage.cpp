#include "ostrel/updates/KivraUXUpdatePackage.h"

#include <filesystem>
#include <system_error>

#include "common/logging/LogRecord.h"
#include "ostrel/updates/UXUpdatePackageException.h"
#include "ostrel/updates/UnzipExtract.h"
#include "ostrel/services/ReflectiveSerializer.h"

void KivraUXUpdatePackage::visitFields(FieldVisitor& visitor) {
  // The manifest's order, which is the reading order.
  visitValue(visitor, "Id", Id);
  visitValue(visitor, "Version", Version);
  visitValue(visitor, "HCVersion", HCVersion);
  visitValue(visitor, "OSType", OSType);
  visitValue(visitor, "DeviceType", DeviceType);
  visitValue(visitor, "StoreId", StoreId);
  visitValue(visitor, "AffiliateId", AffiliateId);
}

void KivraUXUpdatePackage::readDescriptor(const std::string& packagePath) {
  archive_.reset();
  manifestEntry_.clear();
  std::error_code error;
  if (!std::filesystem::exists(packagePath, error)) {
    OSTREL_LOG(LOG_ERROR) << "File not found. ";
    throw UXUpdatePackageException(-1, "[KivraUXUpdatePackage::readDescriptor] file not found. " + packagePath);
  }
  PackageArchivePtr archive = PackageArchive::open(packagePath, copyDirectory_, limits_.maxPackageBytes);
  std::string text, stored;
  if (!archive || !UnzipExtract::extractToMemory(archive->zip(), kManifest, text, stored)) {
    OSTREL_LOG(LOG_ERROR) << "Could not open descriptor file." << packagePath;
    throw UXUpdatePackageException(-1, "[KivraUXUpdatePackage::readDescriptor] Could not open descriptor file. " +
                                           packagePath);
  }
  archive_ = archive;
  manifestEntry_ = stored;
  ReflectiveSerializer::readXml(text, typeName(), *this);
}

std::string KivraUXUpdatePackage::controlEntry() const {
  std::string name;
  if (archive_ && UnzipExtract::findControlEntry(archive_->zip(), limits_.maxEntries, name)) return name;
  return "";
}

PackageArchivePtr KivraUXUpdatePackage::takeArchive(const std::string& packagePath) {
  PackageArchivePtr archive = std::move(archive_);
  archive_.reset();
  if (archive && archive->path() == packagePath) return archive;
  manifestEntry_.clear();
  archive = PackageArchive::open(packagePath, copyDirectory_, limits_.maxPackageBytes);
  if (archive) UnzipExtract::findEntry(archive->zip(), kManifest, manifestEntry_);
  return archive;
}

void KivraUXUpdatePackage::unPackage(const std::string& packagePath, const std::string& destination) {
  PackageArchivePtr archive = takeArchive(packagePath);
  if (!archive || UnzipExtract::extractAll(archive->zip(), archive->size(), destination, limits_) != 0)
    throw UXUpdatePackageException(-1, "[KivraUXUpdatePackage::unPackage] Couldn't unpackage UX update file " +
                                           packagePath);
  if (manifestEntry_.empty()) return;
  const std::filesystem::path manifest = std::filesystem::path(destination) / manifestEntry_;
  std::error_code error;
  if (std::filesystem::is_regular_file(manifest, error)) std::filesystem::remove(manifest, error);
}
