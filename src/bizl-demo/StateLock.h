#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace bizl {

// Many readers at once, or one writer; usable with std::shared_lock and
// std::unique_lock. A waiting writer holds back readers that come after it, so a
// steady stream of reads cannot keep a change out (the default reader-writer lock
// of the C library lets readers overtake it for ever).
class StateLock {
 public:
  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();

 private:
  std::mutex mutex_;  // guards readers_, writersWaiting_ and writing_
  std::condition_variable changed_;
  size_t readers_ = 0;
  size_t writersWaiting_ = 0;
  bool writing_ = false;
};

}  // namespace bizl
