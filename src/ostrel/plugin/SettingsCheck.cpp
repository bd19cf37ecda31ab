#include "ostrel/plugin/SettingsCheck.h"

#include <sys/stat.h>

#include <string>

#include "common/logging/LogLevel.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/plugin/PluginSettings.h"
#include "ostrel/services/KivraUIDescriptor.h"
#include "ostrel/services/UIType.h"
#include "tessaro/ComponentReport.h"

namespace SettingsCheck {

namespace {

constexpr const char* kLogLevelKey = "KivraLogger/Level";

bool valueOf(const ConfigurationManager& configuration, const char* key, std::string& value) {
  return configuration.getValue(key, value) == 0;
}

void checkFlag(const ConfigurationManager& configuration, const char* key, ConfigurationCheck& check) {
  std::string value;
  if (valueOf(configuration, key, value) && value != "true" && value != "false")
    check.problem(std::string(key) + " = " + value + ": only true or false is understood");
}

// The folder a root setting names once composed, as the start composes it;
// empty when there is none to show.
std::string checkRoot(const ConfigurationManager& configuration, const char* key, const std::string& dataPath,
                      bool hasDataPath, ConfigurationCheck& check) {
  std::string value;
  if (!valueOf(configuration, key, value) || value.empty()) {
    check.problem(std::string(key) + " is not set");
    return "";
  }
  if (value[0] == '.' && !hasDataPath) {
    check.problem(std::string(key) + " = " + value + " begins with \".\", but " + ConfigKeys::kDataPath +
                  ", which would come before it, is not set");
    return "";
  }
  const std::string folder = PluginSettings::composeRoot(dataPath, value, key);
  if (!PluginSettings::isOneRoot(folder)) {
    check.problem(std::string(key) + " = " + value + ": " + folder +
                  " holds \",\" or \"=\", which the web engine would read as further folders to serve; "
                  "the start refuses it");
    return "";
  }
  check.note(std::string(key) + " = " + value + ": the folder " + folder);
  if (!PluginSettings::isFolder(folder))
    check.problem(std::string(key) + ": no folder at " + folder + (folder[0] == '/' ? "" : " (not an absolute path)"));
  return folder;
}

void checkUIType(const ConfigurationManager& configuration, const std::string& htmlRoot, ConfigurationCheck& check) {
  std::string uiType;
  if (!valueOf(configuration, ConfigKeys::kDefaultUIType, uiType) || uiType.empty()) {
    check.problem(std::string(ConfigKeys::kDefaultUIType) + " is not set");
    return;
  }
  if (!isSafeUIType(uiType)) {
    check.problem(std::string(ConfigKeys::kDefaultUIType) + " = " + uiType +
                  ": not a UI type (one folder name of 1 to 64 letters, digits, \"-\", \"_\" and \".\", "
                  "not beginning with \".\"); the start refuses it");
    return;
  }
  if (htmlRoot.empty()) return;
  const std::string manifest = htmlRoot + "/" + uiType + "/" + KivraUIDescriptor::kManifest;
  struct stat status {};
  if (stat(manifest.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
    check.problem(std::string(ConfigKeys::kDefaultUIType) + " = " + uiType + ": no manifest at " + manifest);
}

void checkLogLevel(const ConfigurationManager& shared, ConfigurationCheck& check) {
  std::string value;
  if (valueOf(shared, kLogLevelKey, value) && parseLogLevel(value) > LOG_ERROR)
    check.problem(std::string(kLogLevelKey) + " = " + value +
                  ": not a level (DEBUG, TRACE, INFO, WARNING, ERROR, or 0 to 4)");
}

}  // namespace

void check(const ConfigurationManager& component, const ConfigurationManager& shared, ConfigurationCheck& check) {
  for (const char* key : {ConfigKeys::kKeepAlive, ConfigKeys::kDataPath, ConfigKeys::kDocumentRoot,
                          ConfigKeys::kDownloadRoot, ConfigKeys::kDefaultUIType, ConfigKeys::kReferrerCheck})
    check.reads(ConfigScopeComponent, key);
  check.reads(ConfigScopeShared, kLogLevelKey);

  checkFlag(component, ConfigKeys::kKeepAlive, check);
  checkFlag(component, ConfigKeys::kReferrerCheck, check);
  std::string dataPath;
  const bool hasDataPath = valueOf(component, ConfigKeys::kDataPath, dataPath);
  if (hasDataPath && !PluginSettings::isFolder(dataPath))
    check.problem(std::string(ConfigKeys::kDataPath) + ": no folder by an absolute path at " + dataPath);
  const std::string htmlRoot = checkRoot(component, ConfigKeys::kDocumentRoot, dataPath, hasDataPath, check);
  checkRoot(component, ConfigKeys::kDownloadRoot, dataPath, hasDataPath, check);
  checkUIType(component, htmlRoot, check);
  checkLogLevel(shared, check);
}

}  // namespace SettingsCheck
