#include "bizl-demo/WorkerPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "BizlTestSupport.h"
#include "support/Eventually.h"

using bizl::WorkerPool;
using bizltest::Gate;

namespace {

// What became of each job, by number.
class Ledger {
 public:
  void started(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    started_.push_back(id);
    peak_ = std::max(peak_, ++running_);
  }
  void finished(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    ran_.push_back(id);
  }
  void refused(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    refused_.push_back(id);
  }
  std::vector<int> started() const { return copy(started_); }
  std::vector<int> ran() const { return copy(ran_); }
  std::vector<int> refused() const { return copy(refused_); }
  int running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
  }
  int peak() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
  }

 private:
  std::vector<int> copy(const std::vector<int>& ids) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids;
  }

  mutable std::mutex mutex_;  // guards everything below
  std::vector<int> started_, ran_, refused_;
  int running_ = 0;
  int peak_ = 0;
};

class TestJob : public bizl::Job {
 public:
  TestJob(int id, Ledger& ledger, Gate* gate = nullptr, bool throws = false)
      : id_(id), ledger_(ledger), gate_(gate), throws_(throws) {}

  void run() override {
    ledger_.started(id_);
    if (gate_) gate_->wait();
    ledger_.finished(id_);
    if (throws_) throw std::runtime_error("job failed");
  }
  void refuse() override { ledger_.refused(id_); }

 private:
  int id_;
  Ledger& ledger_;
  Gate* gate_;
  bool throws_;
};

using Ids = std::vector<int>;

}  // namespace

TEST(WorkerPoolTest, RunsAsManyJobsAtOnceAsItHasThreads) {
  Ledger ledger;
  Gate gate;
  WorkerPool pool(3, 10);
  pool.start();
  for (int id = 0; id < 5; ++id) pool.submit(std::make_shared<TestJob>(id, ledger, &gate));
  ASSERT_TRUE(eventually([&] { return ledger.running() == 3; }));
  EXPECT_EQ(2u, pool.queued());
  gate.open();
  ASSERT_TRUE(eventually([&] { return ledger.ran().size() == 5; }));
  EXPECT_EQ(3, ledger.peak());
  EXPECT_TRUE(ledger.refused().empty());
  pool.stop();
}

// A full queue holds the submitter back; nothing is dropped and the order stays.
TEST(WorkerPoolTest, AFullQueueMakesTheSubmitterWait) {
  Ledger ledger;
  Gate gate;
  WorkerPool pool(1, 2);
  pool.start();
  std::atomic<int> submitted{0};
  std::thread submitter([&] {
    for (int id = 0; id < 6; ++id) {
      pool.submit(std::make_shared<TestJob>(id, ledger, id == 0 ? &gate : nullptr));
      ++submitted;
    }
  });
  ASSERT_TRUE(eventually([&] { return ledger.running() == 1 && pool.queued() == 2; }));
  EXPECT_EQ(3, submitted.load());
  gate.open();
  submitter.join();
  ASSERT_TRUE(eventually([&] { return ledger.ran().size() == 6; }));
  EXPECT_EQ((Ids{0, 1, 2, 3, 4, 5}), ledger.ran());
  pool.stop();
}

// Stop does not wait for queued jobs: it refuses them at once, lets the running one
// finish, and returns when its threads are joined.
TEST(WorkerPoolTest, StopRefusesWaitingJobsAndJoinsAfterTheRunningOne) {
  Ledger ledger;
  Gate gate;
  WorkerPool pool(1, 2);
  pool.start();
  pool.submit(std::make_shared<TestJob>(0, ledger, &gate));
  ASSERT_TRUE(eventually([&] { return ledger.running() == 1; }));
  pool.submit(std::make_shared<TestJob>(1, ledger));
  pool.submit(std::make_shared<TestJob>(2, ledger));
  std::thread blocked([&] { pool.submit(std::make_shared<TestJob>(3, ledger)); });  // the queue is full
  std::thread stopper([&] { pool.stop(); });
  ASSERT_TRUE(eventually([&] { return ledger.refused().size() == 3; }));
  blocked.join();
  Ids refused = ledger.refused();
  std::sort(refused.begin(), refused.end());
  EXPECT_EQ((Ids{1, 2, 3}), refused);
  EXPECT_TRUE(ledger.ran().empty());  // still running
  EXPECT_FALSE(pool.running());
  gate.open();
  stopper.join();
  EXPECT_EQ(Ids{0}, ledger.ran());

  pool.submit(std::make_shared<TestJob>(4, ledger));  // refused at once, on this thread
  EXPECT_EQ(4, ledger.refused().back());
}

TEST(WorkerPoolTest, AThrowingJobLeavesItsThreadWorking) {
  Ledger ledger;
  WorkerPool pool(1, 4);
  pool.start();
  pool.submit(std::make_shared<TestJob>(0, ledger, nullptr, true));
  pool.submit(std::make_shared<TestJob>(1, ledger));
  ASSERT_TRUE(eventually([&] { return ledger.ran().size() == 2; }));
  EXPECT_EQ((Ids{0, 1}), ledger.ran());
  pool.stop();
}

TEST(WorkerPoolTest, StartsAgainAfterStopAndLeavesNoThread) {
  const size_t before = bizltest::threadCount();
  Ledger ledger;
  WorkerPool pool(4, 4);
  pool.start();
  pool.start();
  EXPECT_EQ(before + 4, bizltest::threadCount());
  pool.stop();
  pool.stop();
  EXPECT_EQ(before, bizltest::threadCount());
  pool.start();
  pool.submit(std::make_shared<TestJob>(7, ledger));
  ASSERT_TRUE(eventually([&] { return ledger.ran() == Ids{7}; }));
  pool.stop();
  EXPECT_EQ(before, bizltest::threadCount());
}
