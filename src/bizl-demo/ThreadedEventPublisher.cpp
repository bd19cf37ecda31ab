#include "bizl-demo/ThreadedEventPublisher.h"

#include <algorithm>

#include "tessaro/CommonMessageProperties.h"
#include "tessaro/LocalMessage.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace bizl {

ThreadedEventPublisher::ThreadedEventPublisher(std::chrono::milliseconds interval) : interval_(interval) {}

ThreadedEventPublisher::~ThreadedEventPublisher() { stop(); }

void ThreadedEventPublisher::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread(&ThreadedEventPublisher::run, this);
}

void ThreadedEventPublisher::stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
    thread = std::move(thread_);
  }
  changed_.notify_all();
  if (thread.joinable()) thread.join();
}

bool ThreadedEventPublisher::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable();
}

size_t ThreadedEventPublisher::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void ThreadedEventPublisher::schedule(const std::string& key, const std::vector<DemoEvent>& events) {
  if (events.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point due = std::max(Clock::now(), lastDueOn(events));
    for (const DemoEvent& event : events) {
      due += interval_;
      queue_.emplace(Slot(due, nextOrder_++), Item{key, event});
    }
  }
  changed_.notify_all();
}

// The due time of the last event waiting on a topic of `events`; the clock's
// epoch when none waits. Called with mutex_ held.
ThreadedEventPublisher::Clock::time_point ThreadedEventPublisher::lastDueOn(const std::vector<DemoEvent>& events) const {
  Clock::time_point last;
  for (const auto& waiting : queue_)
    for (const DemoEvent& event : events)
      if (waiting.second.event.topic == event.topic) last = std::max(last, waiting.first.first);
  return last;
}

size_t ThreadedEventPublisher::cancel(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t dropped = 0;
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->second.key == key) {
      it = queue_.erase(it);
      ++dropped;
    } else {
      ++it;
    }
  }
  return dropped;
}

void ThreadedEventPublisher::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (queue_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto first = queue_.begin();
    // A copy: the wait releases the lock, and the item may go meanwhile.
    const Clock::time_point due = first->first.first;
    if (Clock::now() < due) {
      changed_.wait_until(lock, due);
      continue;  // the queue may have changed meanwhile
    }
    DemoEvent event = std::move(first->second.event);
    queue_.erase(first);
    lock.unlock();
    publish(event);
    lock.lock();
  }
}

void ThreadedEventPublisher::publish(const DemoEvent& event) {
  CommonMessageProperties properties;
  properties.setMessageType("Event");
  properties.setTargetTopic(event.topic);
  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(std::make_shared<XMLPayload>(event.text));
  MessageDispatcher::getInstance()->post(message);
}

}  // namespace bizl
