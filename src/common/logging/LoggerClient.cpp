#include "common/logging/LoggerClient.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/thread.hpp>
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

std::string LoggerClient::formatLine(int level, const std::string& component, const std::string& file,
                                     unsigned line, const std::string& text) {
  std::ostringstream out;
  out << boost::posix_time::microsec_clock::universal_time() << '\x0B' << boost::this_thread::get_id()
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
