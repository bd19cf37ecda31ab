#include "ostrel/plugin/PluginSettings.h"

#include <sys/stat.h>

#include <stdexcept>
#include <utility>

#include "common/logging/LogRecord.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/services/StartupErrors.h"
#include "tessaro/ConfigurationManager.h"

namespace PluginSettings {

namespace {

// A flag is "true" or "false"; any other word is taken as the flag's fallback,
// which the log says, since "yes" or "True" look meant.
bool readFlag(const ConfigurationManager& configuration, const char* key, bool fallback, const char* meaning) {
  std::string value;
  configuration.getValue(key, value);
  if (value == "true" || value == "false") return value == "true";
  OSTREL_LOG(LOG_WARNING) << key << " is '" << value << "'; only true or false is understood: " << meaning;
  return fallback;
}

}  // namespace

bool readKeepAlive(const ConfigurationManager& configuration) {
  std::string value;
  if (configuration.getValue(ConfigKeys::kKeepAlive, value) != 0) {
    OSTREL_LOG(LOG_WARNING) << "Error while trying to retrieve information for KEEP_ALIVE_KEY.";
    OSTREL_LOG(LOG_INFO) << ConfigKeys::kKeepAlive << " is not set: keep-alive is off";
    return false;
  }
  return readFlag(configuration, ConfigKeys::kKeepAlive, false, "keep-alive is off");
}

std::string readDataPath(const ConfigurationManager& configuration) {
  std::string value;
  if (configuration.getValue(ConfigKeys::kDataPath, value) != 0) {
    OSTREL_LOG(LOG_ERROR) << "Error while trying to retrieve information from  Configuration Service. DATA_PATH";
    OSTREL_LOG(LOG_INFO) << ConfigKeys::kDataPath << " is not set: roots beginning with \".\" stay relative";
    return "";
  }
  return value;
}

std::string composeRoot(const std::string& dataPath, const std::string& value, const std::string& key) {
  if (value.empty()) throw std::out_of_range(key + " is empty or not set");
  return value[0] == '.' ? dataPath + value : value;
}

Roots composeRoots(const ConfigurationManager& configuration, const std::string& dataPath) {
  Roots roots;
  try {
    std::string value;
    if (configuration.getValue(ConfigKeys::kDocumentRoot, value) != 0)
      OSTREL_LOG(LOG_ERROR)
          << "Error while trying to retrieve information from Configuration Service. DOCUMENT ROOT ENTRY";
    roots.html = composeRoot(dataPath, value, ConfigKeys::kDocumentRoot);

    value.clear();
    if (configuration.getValue(ConfigKeys::kDownloadRoot, value) != 0)
      OSTREL_LOG(LOG_ERROR)
          << "Error while trying to retrieve information from Configuration Manager. DOWNLOAD ROOT ENTRY";
    roots.download = composeRoot(dataPath, value, ConfigKeys::kDownloadRoot);
  } catch (const std::out_of_range& error) {
    OSTREL_LOG(LOG_ERROR) << "Error while trying to compose html and download paths: " << error.what();
  }
  return roots;
}

std::string documentRootOption(const Roots& roots) { return roots.html + ",/download=" + roots.download; }

bool isFolder(const std::string& path) {
  struct stat status {};
  return !path.empty() && path[0] == '/' && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void reportMissingFolders(const Roots& roots) {
  const std::pair<const char*, const std::string*> named[] = {{ConfigKeys::kDocumentRoot, &roots.html},
                                                              {ConfigKeys::kDownloadRoot, &roots.download}};
  for (const auto& [key, path] : named)
    if (!path->empty() && !isFolder(*path))
      OSTREL_LOG(LOG_ERROR) << key << " names no folder by an absolute path: " << *path;
}

bool readDefaultUIType(const ConfigurationManager& configuration, std::string& uiType, StartupErrors& errors) {
  if (configuration.getValue(ConfigKeys::kDefaultUIType, uiType) == 0) return true;
  const char* text = "Error while retrieving default UI information. DEFAULT UITYPE KEY";
  OSTREL_LOG(LOG_ERROR) << text;
  OSTREL_LOG(LOG_INFO) << ConfigKeys::kDefaultUIType << " is not set: no UI is served";
  errors.append(text);
  return false;
}

bool readReferrerCheck(const ConfigurationManager& configuration) {
  std::string value;
  if (configuration.getValue(ConfigKeys::kReferrerCheck, value) != 0) {
    OSTREL_LOG(LOG_ERROR) << "Error while trying to retrieve information from Configuration Manager.";
    OSTREL_LOG(LOG_INFO) << ConfigKeys::kReferrerCheck << " is not set: the Referer is checked";
    return true;
  }
  return readFlag(configuration, ConfigKeys::kReferrerCheck, true, "the Referer is checked");
}

}  // namespace PluginSettings
