#pragma once

#include <string>

enum LogLevel : int {
  LOG_DEBUG = 0,
  LOG_TRACE = 1,
  LOG_INFO = 2,
  LOG_WARNING = 3,
  LOG_ERROR = 4,
};

// Every record the plug-in writes carries this component number.
constexpr int OSTREL_COMPONENT = 0;

// "DEBUG" .. "ERROR" for 0 .. 4, "Undefined" otherwise.
const char* logLevelName(int level);
// The name of a component number, "Unknown" when the table lacks it.
const char* logComponentName(int component);
// A configured level: an unsigned 16-bit decimal filling the whole text, else a
// level name; any other text gives 10.
int parseLogLevel(const std::string& value);
