#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "bizl-demo/EventPublisher.h"

namespace bizl {

// An EventPublisher with one thread of its own that posts each event to the
// MessageDispatcher when it is due. Events scheduled before start wait for it;
// stop drops what is still waiting and ends the thread.
class ThreadedEventPublisher : public EventPublisher {
 public:
  explicit ThreadedEventPublisher(std::chrono::milliseconds interval);
  ~ThreadedEventPublisher() override;
  ThreadedEventPublisher(const ThreadedEventPublisher&) = delete;
  ThreadedEventPublisher& operator=(const ThreadedEventPublisher&) = delete;

  void start();
  void stop();
  bool running() const;
  // Events scheduled and not yet published.
  size_t waiting() const;

  // EventPublisher
  void schedule(const std::string& key, const std::vector<DemoEvent>& events) override;
  size_t cancel(const std::string& key) override;

 private:
  using Clock = std::chrono::steady_clock;
  // Due time, then scheduling order: the events of one sequence keep their order.
  using Slot = std::pair<Clock::time_point, uint64_t>;
  struct Item {
    std::string key;
    DemoEvent event;
  };

  void run();
  Clock::time_point lastDueOn(const std::vector<DemoEvent>& events) const;
  static void publish(const DemoEvent& event);

  const std::chrono::milliseconds interval_;
  mutable std::mutex mutex_;  // guards queue_, nextOrder_, stopping_ and thread_
  std::condition_variable changed_;
  std::map<Slot, Item> queue_;
  uint64_t nextOrder_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace bizl
