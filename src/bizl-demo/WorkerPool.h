#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bizl-demo/Job.h"

namespace bizl {

// A fixed number of threads that run jobs from a bounded queue, oldest first.
// Every job submitted is either run or refused, never dropped.
class WorkerPool {
 public:
  // `name` (at most 15 bytes) names the threads for ps, top and perf.
  WorkerPool(size_t threads, size_t capacity, std::string name = "");
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void start();
  // Queues the job, waiting while the queue is full; refuses it when the pool is
  // not running or stops meanwhile.
  void submit(const JobPtr& job);
  // Refuses the jobs still queued, lets the running ones finish and joins every
  // thread. The pool may be started again.
  void stop();

  bool running() const;
  size_t queued() const;

 private:
  void work();

  const size_t threadCount_;
  const size_t capacity_;
  const std::string name_;
  mutable std::mutex mutex_;  // guards queue_, running_ and threads_
  std::condition_variable jobQueued_;
  std::condition_variable spaceFreed_;
  std::deque<JobPtr> queue_;
  bool running_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace bizl
