#pragma once

// Bounds how many calls may wait for the business logic at once. Each waiting
// call holds an engine worker: beyond the bound a call is answered at once as
// if its wait had timed out, so that files and the services answered inside
// the plug-in always find a free worker.

#include <atomic>

class WaitingCalls {
 public:
  // The plug-in's 50 engine workers less a reserve of 10.
  static constexpr int kDefaultLimit = 40;

  explicit WaitingCalls(int limit = kDefaultLimit) : limit_(limit) {}

  // The right to wait, released when it goes; false when none was left.
  class Place {
   public:
    // For a call that no bound applies to.
    static Place unbounded() { return Place(nullptr, true); }
    Place(Place&& other) noexcept : calls_(other.calls_), granted_(other.granted_) { other.calls_ = nullptr; }
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() {
      if (calls_) calls_->waiting_--;
    }
    explicit operator bool() const { return granted_; }

   private:
    friend class WaitingCalls;
    Place(WaitingCalls* calls, bool granted) : calls_(calls), granted_(granted) {}
    WaitingCalls* calls_;
    bool granted_;
  };

  Place take() {
    if (waiting_.fetch_add(1) < limit_) return Place(this, true);
    waiting_--;
    return Place(nullptr, false);
  }
  int waiting() const { return waiting_.load(); }
  void setLimit(int limit) { limit_ = limit; }

 private:
  std::atomic<int> waiting_{0};
  std::atomic<int> limit_;
};
