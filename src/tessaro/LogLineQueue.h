#pragma once

// The logger service's line queue, shared in process with every plug-in that
// logs. Producers lock `mutex`, note whether `lines` is empty, append, unlock,
// and call wakeOne() only when the queue was empty before.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

struct LogLineQueue {
  std::mutex mutex;  // guards lines and closed
  std::condition_variable condition;
  std::deque<std::string> lines;
  bool closed = false;
  std::atomic<unsigned> wakeUps{0};  // how often producers woke the consumer

  void wakeOne() {
    ++wakeUps;
    condition.notify_one();
  }
};

using LogLineQueuePtr = std::shared_ptr<LogLineQueue>;
