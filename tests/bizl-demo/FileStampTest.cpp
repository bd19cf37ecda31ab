// When a file counts as unchanged, and the cache that relies on it.

#include "bizl-demo/FileStamp.h"

#include <gtest/gtest.h>

#include "bizl-demo/StampedCache.h"

using bizl::FileStamp;

namespace {

constexpr int64_t kSecond = 1'000'000'000;

FileStamp stampAt(int64_t modified, int64_t changed, off_t size = 10, ino_t inode = 7) {
  struct stat status = {};
  status.st_mode = S_IFREG | 0644;
  status.st_ino = inode;
  status.st_size = size;
  status.st_mtim = {time_t(modified / kSecond), long(modified % kSecond)};
  status.st_ctim = {time_t(changed / kSecond), long(changed % kSecond)};
  return FileStamp(status);
}

}  // namespace

TEST(FileStampTest, AnyFieldMakesAnotherVersion) {
  const int64_t t = 1'700'000'000 * kSecond;
  EXPECT_EQ(stampAt(t, t), stampAt(t, t));
  EXPECT_NE(stampAt(t, t), stampAt(t + 1, t));  // nanoseconds count
  EXPECT_NE(stampAt(t, t), stampAt(t, t + 1));
  EXPECT_NE(stampAt(t, t), stampAt(t, t, 11));
  EXPECT_NE(stampAt(t, t), stampAt(t, t, 10, 8));
  EXPECT_TRUE(stampAt(t, t).isFile());
  EXPECT_FALSE(stampAt(t, t).isFolder());
}

// Content read within the granularity of file times after a change may be followed
// by another change with the same times: only older times settle.
TEST(FileStampTest, OnlyTimesWellBeforeTheReadSettle) {
  const int64_t t = 1'700'000'000 * kSecond;
  EXPECT_FALSE(stampAt(t, t).settledAt(t));
  EXPECT_FALSE(stampAt(t, t).settledAt(t + FileStamp::kSettleTime));
  EXPECT_TRUE(stampAt(t, t).settledAt(t + FileStamp::kSettleTime + 1));
  // The later of the two times counts; a time ahead of the clock never settles.
  EXPECT_FALSE(stampAt(t - 10 * kSecond, t).settledAt(t + kSecond));
  EXPECT_FALSE(stampAt(t + 60 * kSecond, t).settledAt(t + 10 * kSecond));
}

TEST(StampedCacheTest, ServesOnlySettledValuesOfTheSameVersion) {
  const int64_t t = 1'700'000'000 * kSecond;
  const int64_t later = t + 10 * kSecond;
  bizl::StampedCache<std::string> cache;
  auto first = cache.keep("a", stampAt(t, t), later, std::make_shared<const std::string>("one"));
  EXPECT_EQ(first, cache.find("a", stampAt(t, t)));
  EXPECT_EQ(nullptr, cache.find("a", stampAt(t + 1, t)));
  EXPECT_EQ(nullptr, cache.find("b", stampAt(t, t)));

  // Read too soon after its change: kept, but never served for the same stamp.
  cache.keep("fresh", stampAt(later, later), later, std::make_shared<const std::string>("x"));
  EXPECT_EQ(nullptr, cache.find("fresh", stampAt(later, later)));

  // An equal value read again keeps the pointer that holders already have.
  auto again = cache.keep("a", stampAt(t, t + 1), later, std::make_shared<const std::string>("one"));
  EXPECT_EQ(first, again);
  auto changed = cache.keep("a", stampAt(t, t + 2), later, std::make_shared<const std::string>("two"));
  EXPECT_NE(first, changed);
  EXPECT_EQ("two", *cache.find("a", stampAt(t, t + 2)));

  EXPECT_EQ(2u, cache.size());
  cache.forget("a");
  EXPECT_EQ(nullptr, cache.find("a", stampAt(t, t + 2)));
  EXPECT_EQ(1u, cache.size());
}
