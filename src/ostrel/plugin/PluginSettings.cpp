#include "ostrel/plugin/PluginSettings.h"

#include <sys/stat.h>

#include <stdexcept>
#include <utility>

#include "common/logging/LogRecord.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/services/StartupErrors.h"
#include "ostrel/services/UIType.h"
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

// What is lost when a root is refused or missing, for the log.
const char* withoutRoot(const char* key) {
  return std::string(key) == ConfigKeys::kDocumentRoot ? "no UI file is served" : "nothing is served under /download";
}

// A root the engine would read as several is refused whole: any part of it
// might be what nobody meant to serve.
std::string oneRootOrNone(const char* key, const std::string& root) {
  if (isOneRoot(root)) return root;
  OSTREL_LOG(LOG_ERROR) << key << " is refused: " << root
                        << " holds \",\" or \"=\", which the web engine would read as further folders to serve; "
                        << withoutRoot(key);
  return "";
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
    roots.html = oneRootOrNone(ConfigKeys::kDocumentRoot, composeRoot(dataPath, value, ConfigKeys::kDocumentRoot));

    value.clear();
    if (configuration.getValue(ConfigKeys::kDownloadRoot, value) != 0)
      OSTREL_LOG(LOG_ERROR)
          << "Error while trying to retrieve information from Configuration Manager. DOWNLOAD ROOT ENTRY";
    roots.download =
        oneRootOrNone(ConfigKeys::kDownloadRoot, composeRoot(dataPath, value, ConfigKeys::kDownloadRoot));
  } catch (const std::out_of_range& error) {
    OSTREL_LOG(LOG_ERROR) << "Error while trying to compose html and download paths: " << error.what();
  }
  return roots;
}

bool isOneRoot(const std::string& root) { return root.find_first_of(",=") == std::string::npos; }

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
      OSTREL_LOG(LOG_ERROR) << key << ": no folder at " << *path
                            << ((*path)[0] == '/' ? "" : " (not an absolute path)") << "; " << withoutRoot(key);
}

bool readDefaultUIType(const ConfigurationManager& configuration, std::string& uiType, StartupErrors& errors) {
  const bool read = configuration.getValue(ConfigKeys::kDefaultUIType, uiType) == 0;
  if (read && isSafeUIType(uiType)) return true;
  const char* text = "Error while retrieving default UI information. DEFAULT UITYPE KEY";
  OSTREL_LOG(LOG_ERROR) << text;
  if (read)
    OSTREL_LOG(LOG_ERROR) << ConfigKeys::kDefaultUIType << " = '" << uiType
                          << "' is refused: a UI type is one folder name of 1 to 64 letters, digits, \"-\", \"_\" "
                             "and \".\", not beginning with \".\"; no UI is served";
  else
    OSTREL_LOG(LOG_INFO) << ConfigKeys::kDefaultUIType << " is not set: no UI is served";
  errors.append(text);
  uiType.clear();
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
