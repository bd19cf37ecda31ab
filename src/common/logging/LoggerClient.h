#pragma once

// The plug-in's side of the host's logger service: formats each record into one
// line and appends it to the service's shared queue. Without a queue (before
// fetchQueue succeeded) records are dropped.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "tessaro/LogLineQueue.h"

class ConfigurationManager;

class LoggerClient {
 public:
  // The process-wide client, created on first use (reading the threshold from
  // "KivraLogger/Level") and never destroyed.
  static LoggerClient& instance();

  // A client of its own, with the threshold read from `configuration` (may be null).
  explicit LoggerClient(const ConfigurationManager* configuration);

  // Asks the logger service for its line queue; keeps the old one on no answer.
  void fetchQueue();
  // True when the line was queued.
  bool write(int level, const std::string& component, const std::string& file, unsigned line,
             const std::string& text);

  int threshold() const { return threshold_; }
  // True when a record of this level would be written: a record that costs
  // something to compose is composed only then.
  bool wants(int level) const { return level >= threshold_; }
  LogLineQueuePtr queue() const { return std::atomic_load(&queue_); }
  void setQueue(const LogLineQueuePtr& queue) { std::atomic_store(&queue_, queue); }

  // The six 0x0B-separated fields of a line, stamped now on this thread.
  static std::string formatLine(int level, const std::string& component, const std::string& file,
                                unsigned line, const std::string& text);
  // The first field: the time point in UTC as "%Y-%b-%d %H:%M:%S%F", to the
  // microsecond, the fraction (".ffffff") only when it is not zero.
  static std::string timeField(std::chrono::system_clock::time_point when);
  // The second field: the calling thread's native id in lower-case hexadecimal.
  static std::string threadField();

  // How long fetchQueue waits for the logger service, in seconds.
  static constexpr int kQueueTimeout = 10;

 private:
  std::atomic<int> threshold_{0};
  // Read by every logging thread, replaced by fetchQueue: accessed atomically.
  LogLineQueuePtr queue_;
};
