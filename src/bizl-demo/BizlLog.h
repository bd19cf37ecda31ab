#pragma once

#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"

namespace bizl {

// Every record of the demo business logic carries this component number ("bizl").
constexpr int kBizlComponent = 1;

// Whether a record of `level` would be written: one that would not is never built,
// so its pieces (a whole request document) are not formatted for nothing.
inline bool logs(int level) {
  LoggerClient& client = LoggerClient::instance();
  return level >= client.threshold() && client.queue() != nullptr;
}

// Ends the record expression of BIZL_LOG as void, to match the other branch.
struct LogRecordEnd {
  void operator&(const LogRecord&) const {}
};

}  // namespace bizl

#define BIZL_LOG(level) \
  !::bizl::logs(level) ? (void)0 : ::bizl::LogRecordEnd() & LogRecord((level), ::bizl::kBizlComponent, "", 0)
