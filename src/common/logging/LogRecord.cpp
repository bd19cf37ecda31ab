#include "common/logging/LogRecord.h"

#include "common/logging/LoggerClient.h"

LogRecord::~LogRecord() {
  try {
    LoggerClient::instance().write(level_, logComponentName(component_), file_, line_, text_.str());
  } catch (...) {
    // Logging never throws out of a destructor.
  }
}
