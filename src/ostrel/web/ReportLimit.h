#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

// At most a few reports a second of one kind, so that a client (or any web
// page the user has open) that repeats a refused request cannot fill the log;
// the reports left out are counted and named by the next one.
class ReportLimit {
 public:
  explicit ReportLimit(int perSecond) : perSecond_(perSecond) {}

  // True when a report may be written now; `skipped` is then the number left
  // out since the last one.
  bool allow(int& skipped) {
    const int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::lock_guard<std::mutex> lock(mutex_);
    if (second != second_) {
      second_ = second;
      written_ = 0;
    }
    if (written_ == perSecond_) {
      ++skipped_;
      return false;
    }
    ++written_;
    skipped = skipped_;
    skipped_ = 0;
    return true;
  }

 private:
  const int perSecond_;
  std::mutex mutex_;  // guards the counts below
  int64_t second_ = -1;
  int written_ = 0;
  int skipped_ = 0;
};
