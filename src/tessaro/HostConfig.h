#pragma once

// The host's configuration file: an INI text with the sections [host], [scope0]
// and [scope1]. Lines are "key = value"; "#" and ";" start comment lines.

#include <map>
#include <string>
#include <vector>

struct HostConfig {
  std::string path;                    // the file it was read from
  std::vector<std::string> plugins;    // [host] plugins, resolved against the file
  std::string logFile;                 // [host] log_file: "-" or a resolved path
  std::map<std::string, std::string> scope0;
  std::map<std::string, std::string> scope1;
};

// Reads and checks the file, which must be a regular file (a device or a FIFO
// is refused unread). On failure returns false and sets `error` (without
// the file name; the caller names it).
bool loadHostConfig(const std::string& path, HostConfig& config, std::string& error);

// Parses configuration text; `baseDir` resolves relative [host] paths.
bool parseHostConfig(const std::string& text, const std::string& baseDir, HostConfig& config,
                     std::string& error);

// Puts the [scope0] and [scope1] values into the configuration managers.
void applyHostConfig(const HostConfig& config);
