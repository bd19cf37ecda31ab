#pragma once

#include <atomic>

#include "bizl-demo/ReplyStore.h"
#include "bizl-demo/StampedCache.h"

namespace bizl {

// A ReplyStore over a folder. Each call stats the file (or folder) and reads it
// again only when its stamp changed or was not settled when it was read, so data
// may be edited while the demo runs and the next request sees the edit. A file
// that is gone is dropped from the cache.
class FileReplyStore : public ReplyStore {
 public:
  // The clock that file times are compared with (FileStamp::now).
  using Clock = int64_t (*)();

  explicit FileReplyStore(std::string root, Clock now = &FileStamp::now);

  // A name is safe when its segments are non-empty runs of letters, digits, "_",
  // "-" and ".", none of them "." or "..".
  static bool isSafeName(const std::string& name);

  // ReplyStore
  DataText read(const std::string& name) const override;
  std::vector<std::string> list(const std::string& folder) const override;

  // Files and folders held in the cache now.
  size_t cached() const { return files_.size() + folders_.size(); }
  // Files read from the disk so far.
  size_t loads() const { return loads_; }

  // Larger files are refused; the demo's files are a few kilobytes.
  static constexpr size_t kMaxFileSize = 1 << 20;

 private:
  using Names = std::vector<std::string>;

  DataText load(const std::string& name, int64_t readStart) const;
  std::shared_ptr<const Names> scan(const std::string& folder) const;

  std::string root_;
  Clock now_;
  mutable std::atomic<size_t> loads_{0};
  mutable StampedCache<std::string> files_;
  mutable StampedCache<Names> folders_;
};

}  // namespace bizl
