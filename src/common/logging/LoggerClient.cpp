#include "common/logging/LoggerClient.h"

#include <pthread.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "common/HandlerHelper/HandlerHelper.h"
#include "common/logging/LogLevel.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/KivraLoggerQueueData.h"

LoggerClient& LoggerClient::instance() {
  static LoggerClient* client =
      new LoggerClient(ConfigurationManager::getDefaultInstance(ConfigScopeShared));
  return *client;
}

LoggerClient::LoggerClient(const ConfigurationManager* configuration) {
  std::string value;
  if (configuration && configuration->getValue("KivraLogger/Level", value) == 0)
    threshold_ = parseLogLevel(value);
}

void LoggerClient::fetchQueue() {
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait("target:/KivraLogger", "GET_LOGGER_QUEUE",
                                                          ISerializablePtr(), kQueueTimeout, UUId(), 0);
  if (!reply) return;
  auto data = std::dynamic_pointer_cast<KivraLoggerQueueData>(reply->getPayload());
  if (data && data->getQueue()) setQueue(data->getQueue());
}

namespace {

struct CivilDate {
  int64_t year;
  unsigned month;  // 1 to 12
  unsigned day;    // 1 to 31
};

// The proleptic Gregorian date of a day counted from 1970-01-01; plain
// arithmetic, so that no C library's time zone or range gets in.
CivilDate civilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shifted = (5 * dayOfYear + 2) / 153;
  const unsigned day = unsigned(dayOfYear - (153 * shifted + 2) / 5 + 1);
  const unsigned month = unsigned(shifted < 10 ? shifted + 3 : shifted - 9);
  return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace

std::string LoggerClient::timeField(std::chrono::system_clock::time_point when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  constexpr int64_t kMicrosPerDay = int64_t(86400) * 1000000;
  const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  int64_t days = micros / kMicrosPerDay;
  int64_t ofDay = micros % kMicrosPerDay;
  if (ofDay < 0) {
    ofDay += kMicrosPerDay;
    --days;
  }
  const CivilDate date = civilFromDays(days);
  const int64_t second = ofDay / 1000000;
  const int64_t fraction = ofDay % 1000000;
  char text[64];
  int length = std::snprintf(text, sizeof text, "%04lld-%s-%02u %02d:%02d:%02d", static_cast<long long>(date.year),
                             kMonths[date.month - 1], date.day, int(second / 3600), int(second / 60 % 60),
                             int(second % 60));
  if (fraction != 0)
    length += std::snprintf(text + length, sizeof text - size_t(length), ".%06d", int(fraction));
  return std::string(text, size_t(length));
}

std::string LoggerClient::threadField() {
  char text[2 * sizeof(uint64_t)];
  const auto result = std::to_chars(text, text + sizeof text, static_cast<uint64_t>(pthread_self()), 16);
  return std::string(text, result.ptr);
}

std::string LoggerClient::formatLine(int level, const std::string& component, const std::string& file,
                                     unsigned line, const std::string& text) {
  std::ostringstream out;
  out << timeField(std::chrono::system_clock::now()) << '\x0B' << threadField()
      << '\x0B' << logLevelName(level) << '\x0B' << component << '\x0B' << file << '[' << line << ']'
      << '\x0B' << text;
  return out.str();
}

bool LoggerClient::write(int level, const std::string& component, const std::string& file, unsigned line,
                         const std::string& text) {
  if (level < threshold_) return false;
  LogLineQueuePtr lines = queue();
  if (!lines) return false;
  std::string formatted = formatLine(level, component, file, line, text);
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(lines->mutex);
    wasEmpty = lines->lines.empty();
    lines->lines.push_back(std::move(formatted));
  }
  if (wasEmpty) lines->wakeOne();
  return true;
}
