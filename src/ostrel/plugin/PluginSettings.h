#pragma once

// The start sequence's configuration reads. Each failed read is logged with its
// fixed text and gives the fallback.

#include <string>

class ConfigurationManager;
class StartupErrors;

namespace PluginSettings {

// True exactly when "Ostrel/KeepAlive" is "true"; a word other than "true" or
// "false" is logged.
bool readKeepAlive(const ConfigurationManager& configuration);
// "Directories/VarPath", or empty.
std::string readDataPath(const ConfigurationManager& configuration);

struct Roots {
  std::string html;
  std::string download;
};
// The HTML and download roots from "Ostrel/DocumentRoot" and "Ostrel/DownloadRoot".
// A root that is not one folder (see isOneRoot) is refused, logged and left
// empty, as one that is not set.
Roots composeRoots(const ConfigurationManager& configuration, const std::string& dataPath);
// A configured root: the data path in front when the value begins with ".",
// joined as is. Throws std::out_of_range, naming `key`, for an empty value.
std::string composeRoot(const std::string& dataPath, const std::string& value, const std::string& key = "a root");
// False when the composed root holds "," or "=": the engine reads its
// "document_root" value as a list of roots and aliases (",/x=/etc"), so such a
// root would serve folders that nobody configured.
bool isOneRoot(const std::string& root);
// The engine's "document_root" value: the HTML root, then the download alias.
std::string documentRootOption(const Roots& roots);
// An existing folder named by an absolute path.
bool isFolder(const std::string& path);
// Logs each composed root that is no such folder, once.
void reportMissingFolders(const Roots& roots);

// "Ostrel/DefaultUIType"; on failure logs, records a start-up error and returns
// false. A value that is not a safe UI type (isSafeUIType) fails as a failed
// read does, and the log names it.
bool readDefaultUIType(const ConfigurationManager& configuration, std::string& uiType, StartupErrors& errors);
// On unless "Ostrel/ReferrerCheck" is exactly "false"; a word other than
// "true" or "false" is logged.
bool readReferrerCheck(const ConfigurationManager& configuration);

}  // namespace PluginSettings
