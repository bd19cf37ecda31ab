#include "common/logging/LogLevel.h"

#include <map>

const char* logLevelName(int level) {
  static const char* const names[] = {"DEBUG", "TRACE", "INFO", "WARNING", "ERROR"};
  return level >= 0 && level <= 4 ? names[level] : "Undefined";
}

const char* logComponentName(int component) {
  static const std::map<int, const char*> components = {
      {0, "ostrel"}, {1, "bizl"}, {2, "ostrel_interface"}, {3, "tc_interface"},
      {4, "be_interface"}, {5, "process"}, {7, "lcm"},
  };
  auto it = components.find(component);
  return it == components.end() ? "Unknown" : it->second;
}

int parseLogLevel(const std::string& value) {
  if (!value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos) {
    unsigned long number = std::stoul(value);
    if (number <= 0xFFFF) return int(number);
  }
  static const std::map<std::string, int> names = {
      {"DEBUG", 0}, {"TRACE", 1}, {"INFO", 2}, {"WARNING", 3}, {"ERROR", 4},
  };
  auto it = names.find(value);
  return it == names.end() ? 10 : it->second;
}
