#include "bizl-demo/StateLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "support/Eventually.h"

using bizl::StateLock;

TEST(StateLockTest, ReadersShareAndAWriterIsAlone) {
  StateLock lock;
  std::atomic<int> readers{0};
  std::atomic<int> bothInside{0};
  auto reader = [&] {
    std::shared_lock<StateLock> shared(lock);
    ++readers;
    if (eventually([&] { return readers >= 2; }, std::chrono::seconds(5))) ++bothInside;
  };
  std::thread first(reader), second(reader);
  first.join();
  second.join();
  EXPECT_EQ(2, bothInside.load()) << "the readers did not hold the lock at once";

  readers = 0;
  std::atomic<int> writers{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < 500; ++round) {
        if (i % 2 == 0) {
          std::unique_lock<StateLock> exclusive(lock);
          if (++writers != 1 || readers != 0) ++overlaps;
          --writers;
        } else {
          std::shared_lock<StateLock> shared(lock);
          ++readers;
          if (writers != 0) ++overlaps;
          --readers;
        }
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, overlaps.load());
}

// Readers that hand the lock on, each leaving only once another is inside (or
// after 50 ms), keep the count of readers above zero: a lock that lets new readers
// pass a waiting writer keeps the writer out for as long as they go on.
TEST(StateLockTest, AWaitingWriterIsNotKeptOutByOverlappingReaders) {
  StateLock lock;
  std::atomic<int> inside{0};
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i)
    readers.emplace_back([&] {
      while (!done) {
        std::shared_lock<StateLock> shared(lock);
        ++inside;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        while (inside < 2 && !done && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        --inside;
        ++reads;
      }
    });
  ASSERT_TRUE(eventually([&] { return reads > 100; }));
  auto writer = std::async(std::launch::async, [&] { std::unique_lock<StateLock> exclusive(lock); });
  const bool wrote = writer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  done = true;
  for (std::thread& thread : readers) thread.join();
  EXPECT_TRUE(wrote);
}
