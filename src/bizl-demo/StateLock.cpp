#include "bizl-demo/StateLock.h"

namespace bizl {

void StateLock::lock() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++writersWaiting_;
  changed_.wait(lock, [&] { return !writing_ && readers_ == 0; });
  --writersWaiting_;
  writing_ = true;
}

void StateLock::unlock() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
  }
  changed_.notify_all();
}

void StateLock::lock_shared() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !writing_ && writersWaiting_ == 0; });
  ++readers_;
}

void StateLock::unlock_shared() {
  bool writerCanGo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writerCanGo = --readers_ == 0 && writersWaiting_ > 0;
  }
  if (writerCanGo) changed_.notify_all();
}

}  // namespace bizl
