#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "bizl-demo/FileStamp.h"

namespace bizl {

// Values read from files, by name, each kept with the stamp of the file it was
// read from. The lock is held only to look up and to store, never while a caller
// reads the disk.
template <typename T>
class StampedCache {
 public:
  using ValuePtr = std::shared_ptr<const T>;

  // The value kept for `name` when it was read from exactly this version, with a
  // settled stamp; null when the caller must read the file.
  ValuePtr find(const std::string& name, const FileStamp& stamp) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(name);
    if (it == entries_.end() || !it->second.settled || it->second.stamp != stamp) return nullptr;
    return it->second.value;
  }

  // Keeps `value`, read after `readStart` from the version `stamp`, and returns it;
  // when the value kept before is equal, that one is kept and returned, so what
  // was derived from it stays valid.
  ValuePtr keep(const std::string& name, const FileStamp& stamp, int64_t readStart, ValuePtr value) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entries_[name];
    if (entry.value && *entry.value == *value) value = entry.value;
    entry = Entry{stamp, stamp.settledAt(readStart), value};
    return value;
  }

  void forget(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(name);
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }

 private:
  struct Entry {
    FileStamp stamp;
    bool settled = false;
    ValuePtr value;
  };

  mutable std::mutex mutex_;  // guards entries_
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace bizl
