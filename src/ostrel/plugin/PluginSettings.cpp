#include "ostrel/plugin/PluginSettings.h"

#include <stdexcept>

#include "common/logging/LogRecord.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/services/StartupErrors.h"
#include "tessaro/ConfigurationManager.h"

namespace PluginSettings {

bool readKeepAlive(const ConfigurationManager& configuration) {
  std::string value;
  if (configuration.getValue(ConfigKeys::kKeepAlive, value) != 0) {
    OSTREL_LOG(LOG_WARNING) << "Error while trying to retrieve information for KEEP_ALIVE_KEY.";
    return false;
  }
  return value == "true";
}

std::string readDataPath(const ConfigurationManager& configuration) {
  std::string value;
  if (configuration.getValue(ConfigKeys::kDataPath, value) != 0) {
    OSTREL_LOG(LOG_ERROR) << "Error while trying to retrieve information from  Configuration Service. DATA_PATH";
    return "";
  }
  return value;
}

std::string composeRoot(const std::string& dataPath, const std::string& value) {
  return value.at(0) == '.' ? dataPath + value : value;
}

Roots composeRoots(const ConfigurationManager& configuration, const std::string& dataPath) {
  Roots roots;
  try {
    std::string value;
    if (configuration.getValue(ConfigKeys::kDocumentRoot, value) != 0)
      OSTREL_LOG(LOG_ERROR)
          << "Error while trying to retrieve information from Configuration Service. DOCUMENT ROOT ENTRY";
    roots.html = composeRoot(dataPath, value);

    value.clear();
    if (configuration.getValue(ConfigKeys::kDownloadRoot, value) != 0)
      OSTREL_LOG(LOG_ERROR)
          << "Error while trying to retrieve information from Configuration Manager. DOWNLOAD ROOT ENTRY";
    roots.download = composeRoot(dataPath, value);
  } catch (const std::out_of_range& error) {
    OSTREL_LOG(LOG_ERROR) << "Error while trying to compose html and download paths: " << error.what();
  }
  return roots;
}

std::string documentRootOption(const Roots& roots) { return roots.html + ",/download=" + roots.download; }

bool readDefaultUIType(const ConfigurationManager& configuration, std::string& uiType, StartupErrors& errors) {
  if (configuration.getValue(ConfigKeys::kDefaultUIType, uiType) == 0) return true;
  const char* text = "Error while retrieving default UI information. DEFAULT UITYPE KEY";
  OSTREL_LOG(LOG_ERROR) << text;
  errors.append(text);
  return false;
}

bool readReferrerCheck(const ConfigurationManager& configuration) {
  std::string value;
  if (configuration.getValue(ConfigKeys::kReferrerCheck, value) != 0) {
    OSTREL_LOG(LOG_ERROR) << "Error while trying to retrieve information from Configuration Manager.";
    return true;
  }
  return value != "false";
}

}  // namespace PluginSettings
