#pragma once

// Gives the process-wide logging client a fresh line queue for one test and
// reads back what was logged.

#include <string>
#include <vector>

#include "common/logging/LoggerClient.h"

class LogCapture {
 public:
  LogCapture() : queue_(std::make_shared<LogLineQueue>()), previous_(LoggerClient::instance().queue()) {
    LoggerClient::instance().setQueue(queue_);
  }
  ~LogCapture() { LoggerClient::instance().setQueue(previous_); }

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    return {queue_->lines.begin(), queue_->lines.end()};
  }

  // The six 0x0B-separated fields of a line.
  static std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t pos; (pos = line.find('\x0B', start)) != std::string::npos; start = pos + 1)
      result.push_back(line.substr(start, pos - start));
    result.push_back(line.substr(start));
    return result;
  }

  // "LEVEL text" of every line, for compact assertions.
  std::vector<std::string> records() const {
    std::vector<std::string> result;
    for (const std::string& line : lines()) {
      std::vector<std::string> f = fields(line);
      result.push_back(f.size() == 6 ? f[2] + " " + f[5] : "malformed: " + line);
    }
    return result;
  }

  const LogLineQueuePtr& queue() const { return queue_; }

 private:
  LogLineQueuePtr queue_;
  LogLineQueuePtr previous_;
};
