#include "bizl-demo/WorkerPool.h"

#include <pthread.h>

namespace bizl {

WorkerPool::WorkerPool(size_t threads, size_t capacity, std::string name)
    : threadCount_(threads), capacity_(capacity), name_(std::move(name)) {}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return;
  running_ = true;
  for (size_t i = 0; i < threadCount_; ++i) threads_.emplace_back(&WorkerPool::work, this);
}

void WorkerPool::submit(const JobPtr& job) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    spaceFreed_.wait(lock, [&] { return !running_ || queue_.size() < capacity_; });
    if (running_) {
      queue_.push_back(job);
      lock.unlock();
      jobQueued_.notify_one();
      return;
    }
  }
  job->refuse();
}

void WorkerPool::stop() {
  std::deque<JobPtr> left;
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    left.swap(queue_);
    threads.swap(threads_);
  }
  jobQueued_.notify_all();
  spaceFreed_.notify_all();
  for (const JobPtr& job : left) job->refuse();
  for (std::thread& thread : threads) thread.join();
}

bool WorkerPool::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

size_t WorkerPool::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void WorkerPool::work() {
  if (!name_.empty()) pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  for (;;) {
    JobPtr job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobQueued_.wait(lock, [&] { return !running_ || !queue_.empty(); });
      if (!running_) return;  // stop took the queue
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    spaceFreed_.notify_one();
    try {
      job->run();
    } catch (...) {
      // A job answers its own failures; the worker must outlive any it missed.
    }
  }
}

}  // namespace bizl
