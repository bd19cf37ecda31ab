#pragma once

// One log record: made where something is logged, filled with <<, and submitted
// to the LoggerClient when it goes out of scope:
//   LogRecord(LOG_ERROR, OSTREL_COMPONENT, "", 0) << "Could not get a port to use.";

#include <sstream>
#include <string>

#include "common/logging/LogLevel.h"

class LogRecord {
 public:
  LogRecord(int level, int component, const std::string& file, unsigned line)
      : level_(level), component_(component), file_(file), line_(line) {}
  ~LogRecord();
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  template <typename T>
  LogRecord& operator<<(const T& piece) {
    text_ << piece;
    return *this;
  }

 private:
  int level_;
  int component_;
  std::string file_;
  unsigned line_;
  std::ostringstream text_;
};

// The plug-in's own records: component 0, no source position.
#define OSTREL_LOG(level) LogRecord((level), OSTREL_COMPONENT, "", 0)
