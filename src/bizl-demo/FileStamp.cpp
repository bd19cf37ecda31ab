#include "bizl-demo/FileStamp.h"

#include <algorithm>
#include <ctime>

namespace bizl {

namespace {

int64_t nanoseconds(const timespec& time) { return int64_t(time.tv_sec) * 1'000'000'000 + time.tv_nsec; }

}  // namespace

FileStamp::FileStamp(const struct stat& status)
    : device_(status.st_dev),
      inode_(status.st_ino),
      mode_(status.st_mode),
      size_(uint64_t(status.st_size)),
      modified_(nanoseconds(status.st_mtim)),
      changed_(nanoseconds(status.st_ctim)) {}

bool FileStamp::of(const std::string& path, FileStamp& stamp) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return false;
  stamp = FileStamp(status);
  return true;
}

int64_t FileStamp::now() {
  timespec time;
  clock_gettime(CLOCK_REALTIME, &time);
  return nanoseconds(time);
}

bool FileStamp::operator==(const FileStamp& other) const {
  return device_ == other.device_ && inode_ == other.inode_ && mode_ == other.mode_ && size_ == other.size_ &&
         modified_ == other.modified_ && changed_ == other.changed_;
}

bool FileStamp::settledAt(int64_t readStart) const {
  // A time ahead of the clock (a copy from another machine, a clock set back) never settles early.
  return readStart - std::max(modified_, changed_) > kSettleTime;
}

}  // namespace bizl
