#pragma once

#include <memory>

namespace bizl {

// Work handed to a WorkerPool. Exactly one of the two is called.
class Job {
 public:
  virtual ~Job() = default;
  // Does the work on a worker thread.
  virtual void run() = 0;
  // The pool will not run it (it stops, or has stopped): the job ends itself at
  // once, on the thread that found out.
  virtual void refuse() = 0;
};

using JobPtr = std::shared_ptr<Job>;

}  // namespace bizl
