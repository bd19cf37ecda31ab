#include "tessaro/HostConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "tessaro/ConfigurationManager.h"

namespace {

std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string resolve(const std::string& baseDir, const std::string& path) {
  if (path.empty() || path[0] == '/' || baseDir.empty()) return path;
  return baseDir + "/" + path;
}

std::vector<std::string> splitWords(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The whole text of PATH, which must be a regular file: a device such as
// /dev/zero never ends and a FIFO waits for a writer, so either would hang the
// host before it said a word. Opened without blocking and tested before it is read.
bool readRegularFile(const std::string& path, std::string& text, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read the configuration file";
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    error = "cannot read the configuration file: not a regular file";
    return false;
  }
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      error = std::string("cannot read the configuration file: ") + std::strerror(errno);
      return false;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

}  // namespace

bool parseHostConfig(const std::string& text, const std::string& baseDir, HostConfig& config,
                     std::string& error) {
  std::istringstream in(text);
  std::string section;
  bool sawHost = false;
  int number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') {
        error = "line " + std::to_string(number) + ": unterminated section header";
        return false;
      }
      section = trim(line.substr(1, line.size() - 2));
      if (section != "host" && section != "scope0" && section != "scope1") {
        error = "line " + std::to_string(number) + ": unknown section [" + section + "]";
        return false;
      }
      sawHost = sawHost || section == "host";
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos || trim(line.substr(0, equals)).empty()) {
      error = "line " + std::to_string(number) + ": expected 'key = value'";
      return false;
    }
    if (section.empty()) {
      error = "line " + std::to_string(number) + ": value outside a section";
      return false;
    }
    std::string key = trim(line.substr(0, equals));
    std::string value = trim(line.substr(equals + 1));
    if (section == "scope0") {
      config.scope0[key] = value;
    } else if (section == "scope1") {
      config.scope1[key] = value;
    } else if (key == "plugins") {
      config.plugins.clear();
      for (const std::string& word : splitWords(value)) config.plugins.push_back(resolve(baseDir, word));
    } else if (key == "log_file") {
      config.logFile = value == "-" ? value : resolve(baseDir, value);
    } else {
      error = "line " + std::to_string(number) + ": unknown key '" + key + "' in [host]";
      return false;
    }
  }
  if (!sawHost) {
    error = "no [host] section";
    return false;
  }
  if (config.plugins.empty()) {
    error = "[host] plugins lists no plug-in";
    return false;
  }
  if (config.logFile.empty()) config.logFile = "-";
  return true;
}

bool loadHostConfig(const std::string& path, HostConfig& config, std::string& error) {
  std::string text;
  if (!readRegularFile(path, text, error)) return false;
  std::string baseDir;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) baseDir = path.substr(0, slash);
  config = HostConfig();
  config.path = path;
  return parseHostConfig(text, baseDir.empty() ? "." : baseDir, config, error);
}

void applyHostConfig(const HostConfig& config) {
  ConfigurationManager* component = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  ConfigurationManager* shared = ConfigurationManager::getDefaultInstance(ConfigScopeShared);
  for (const auto& [key, value] : config.scope0) component->setValue(key, value);
  for (const auto& [key, value] : config.scope1) shared->setValue(key, value);
}
