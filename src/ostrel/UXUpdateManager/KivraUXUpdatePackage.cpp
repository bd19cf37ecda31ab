#include "ostrel/UXUpdateManager/KivraUXUpdatePackage.h"

#include <boost/filesystem/operations.hpp>

#include "common/logging/LogRecord.h"
#include "ostrel/UXUpdateManager/UXUpdatePackageException.h"
#include "ostrel/UXUpdateManager/UnzipExtract.h"
#include "ostrel/uicontext/ReflectiveSerializer.h"

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
  boost::system::error_code error;
  if (!boost::filesystem::exists(packagePath, error)) {
    OSTREL_LOG(LOG_ERROR) << "File not found. ";
    throw UXUpdatePackageException(-1, "[KivraUXUpdatePackage::readDescriptor] file not found. " + packagePath);
  }
  std::string text;
  if (!UnzipExtract::extractToMemory(packagePath, kManifest, text)) {
    OSTREL_LOG(LOG_ERROR) << "Could not open descriptor file." << packagePath;
    throw UXUpdatePackageException(-1, "[KivraUXUpdatePackage::readDescriptor] Could not open descriptor file. " +
                                           packagePath);
  }
  ReflectiveSerializer::readXml(text, typeName(), *this);
}

void KivraUXUpdatePackage::unPackage(const std::string& packagePath, const std::string& destination) {
  if (UnzipExtract::extractAll(packagePath, destination) != 0)
    throw UXUpdatePackageException(-1, "[KivraUXUpdatePackage::unPackage] Couldn't unpackage UX update file " +
                                           packagePath);
  const boost::filesystem::path manifest = boost::filesystem::path(destination) / kManifest;
  boost::system::error_code error;
  if (boost::filesystem::is_regular_file(manifest, error)) boost::filesystem::remove(manifest, error);
}
