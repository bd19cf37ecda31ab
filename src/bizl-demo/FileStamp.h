#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace bizl {

// One version of a file or folder as stat sees it: device, inode, type, size and
// the times of the last change of content and of the inode, in nanoseconds.
// Different stamps mean the file changed. Equal stamps mean the same content only
// once the file's times are older than their granularity: see settledAt.
class FileStamp {
 public:
  FileStamp() = default;
  explicit FileStamp(const struct stat& status);

  // The stamp of `path`, links followed; false when there is nothing to stat.
  static bool of(const std::string& path, FileStamp& stamp);
  // Now on the clock that file times are taken from, in nanoseconds.
  static int64_t now();

  bool operator==(const FileStamp& other) const;
  bool operator!=(const FileStamp& other) const { return !(*this == other); }

  bool isFile() const { return S_ISREG(mode_); }
  bool isFolder() const { return S_ISDIR(mode_); }
  uint64_t size() const { return size_; }

  // True when content read after `readStart` (now() taken before the stamp) is
  // sure to be this version's: the file's times lie so far before readStart that
  // any later change gets later times. A file changed twice within one tick of the
  // file system's clock keeps its times; it stays unsettled, and is read again,
  // until its times are old.
  bool settledAt(int64_t readStart) const;

  // File times follow the kernel's coarse clock (milliseconds) on local file
  // systems and whole seconds, or two, on some others.
  static constexpr int64_t kSettleTime = 2'000'000'000;

 private:
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
  uint32_t mode_ = 0;
  uint64_t size_ = 0;
  int64_t modified_ = 0;  // content, ns since the epoch
  int64_t changed_ = 0;   // inode, ns since the epoch
};

}  // namespace bizl
