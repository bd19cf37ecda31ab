#pragma once

// An update package read from a private copy. The file at the caller's path is
// opened once and copied into an unnamed file that no other process can reach
// by name; the archive is read from that copy only. Whatever is swapped in at
// the path, or written into the file, afterwards, the manifest and the entries
// come from the same bytes.

#include <minizip/unzip.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PackageArchive;
using PackageArchivePtr = std::shared_ptr<PackageArchive>;

class PackageArchive {
  struct Key {};

 public:
  // The copy of `path`, made in `copyDirectory` (the system's temporary folder
  // when empty). Null, with "Cannot open <path>" printed, when the path is no
  // regular file, is larger than `maxBytes`, or cannot be copied or read as a zip.
  static PackageArchivePtr open(const std::string& path, const std::string& copyDirectory, uint64_t maxBytes);

  PackageArchive(Key, std::string path, int copy, uint64_t size);
  ~PackageArchive();
  PackageArchive(const PackageArchive&) = delete;
  PackageArchive& operator=(const PackageArchive&) = delete;

  // The open archive; only one thread may use it at a time.
  unzFile zip() const { return zip_; }
  // Bytes of the copy: the base of the expansion ratio.
  uint64_t size() const { return cursor_.size; }
  // The path the copy was made from.
  const std::string& path() const { return path_; }

  // minizip reads the copy through this, by position. It reads headers a
  // byte at a time, so reads are served from a window of the file.
  struct Cursor {
    int fd = -1;
    uint64_t size = 0;
    uint64_t position = 0;
    bool failed = false;
    std::vector<char> window;
    uint64_t windowStart = 0;
  };

 private:
  const std::string path_;
  Cursor cursor_;
  unzFile zip_ = nullptr;
};
