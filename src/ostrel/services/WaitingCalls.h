#pragma once

// Bounds how many calls may wait for the business logic at once. Each waiting
// call holds an engine worker: beyond the bound a call is answered soon as if
// its wait had timed out, so that files and the services answered inside the
// plug-in always find a free worker.

#include <chrono>
#include <condition_variable>
#include <mutex>

class WaitingCalls {
 public:
  // The plug-in's 50 engine workers less a reserve of 10.
  static constexpr int kDefaultLimit = 40;
  // How long a call beyond the bound waits for a place: a business logic that
  // answers frees places far sooner, so a crowd of callers is served rather
  // than refused; a silent one frees none, and the call gives its worker back.
  static constexpr std::chrono::milliseconds kPlaceWait{50};

  explicit WaitingCalls(int limit = kDefaultLimit, std::chrono::milliseconds placeWait = kPlaceWait)
      : limit_(limit), placeWait_(placeWait) {}

  // The right to wait, released when it goes; false when none was left.
  class Place {
   public:
    // For a call that no bound applies to.
    static Place unbounded() { return Place(nullptr, true); }
    Place(Place&& other) noexcept : calls_(other.calls_), granted_(other.granted_) { other.calls_ = nullptr; }
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() {
      if (calls_) calls_->release();
    }
    explicit operator bool() const { return granted_; }

   private:
    friend class WaitingCalls;
    Place(WaitingCalls* calls, bool granted) : calls_(calls), granted_(granted) {}
    WaitingCalls* calls_;
    bool granted_;
  };

  Place take() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!freed_.wait_for(lock, placeWait_, [this] { return waiting_ < limit_; })) return Place(nullptr, false);
    ++waiting_;
    return Place(this, true);
  }
  int waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
  }

 private:
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --waiting_;
    }
    freed_.notify_one();
  }

  mutable std::mutex mutex_;  // guards both below
  std::condition_variable freed_;
  int waiting_ = 0;
  const int limit_;
  const std::chrono::milliseconds placeWait_;
};
