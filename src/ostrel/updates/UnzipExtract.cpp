#include "ostrel/updates/UnzipExtract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <minizip/unzip.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "ostrel/updates/WriteAll.h"

namespace UnzipExtract {

namespace {

constexpr size_t kChunk = 8192;
// unzLocateFile: 2 compares names without regard to case.
constexpr int kCaseInsensitive = 2;

// The current entry's header and its name; false when the header cannot be read
// or the name is longer than kMaxEntryName.
bool currentEntry(unzFile zip, unz_file_info64& info, std::string& name) {
  char buffer[kMaxEntryName + 1] = {};
  if (unzGetCurrentFileInfo64(zip, &info, buffer, sizeof buffer, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
  name.assign(buffer, std::min<size_t>(info.size_filename, kMaxEntryName));
  return info.size_filename <= kMaxEntryName;
}

std::string withSlashes(std::string name) {
  for (char& c : name)
    if (c == '\\') c = '/';
  return name;
}

int openOutput(const std::string& path) {
  // Never write through a link planted at the target.
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
}

void setModificationTime(const std::string& path, const tm_unz& date) {
  std::tm local{};
  local.tm_sec = int(date.tm_sec);
  local.tm_min = int(date.tm_min);
  local.tm_hour = int(date.tm_hour);
  local.tm_mday = int(date.tm_mday);
  local.tm_mon = int(date.tm_mon);
  local.tm_year = int(date.tm_year) > 1900 ? int(date.tm_year) - 1900 : int(date.tm_year);
  local.tm_isdst = -1;
  std::time_t when = std::mktime(&local);
  if (when == std::time_t(-1)) return;
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// What an extraction may still write: the smaller of the unpacked limit and
// the expansion ratio's share of the archive file, counted on the bytes
// actually written, so no size a header claims can widen it.
class WriteBudget {
 public:
  WriteBudget(const UXPackageLimits& limits, uint64_t archiveBytes)
      : allowed_(std::min(limits.maxUnpackedBytes, scaled(archiveBytes, limits.maxExpansionRatio))) {}
  // Counts the bytes as written; false, counting nothing, when they would pass the limit.
  bool spend(uint64_t bytes) {
    if (bytes > allowed_ - written_) return false;
    written_ += bytes;
    return true;
  }
  uint64_t allowed() const { return allowed_; }

 private:
  static uint64_t scaled(uint64_t bytes, uint64_t ratio) {
    return ratio != 0 && bytes > UINT64_MAX / ratio ? UINT64_MAX : bytes * ratio;
  }

  const uint64_t allowed_;
  uint64_t written_ = 0;
};

// Extracts the current entry below `destination`; false when it fails or
// would pass the budget.
bool extractCurrent(unzFile zip, const std::string& destination, WriteBudget& budget) {
  unz_file_info64 info{};
  std::string name;
  if (!currentEntry(zip, info, name)) return false;
  name = withSlashes(name);
  if (name.empty()) return false;
  const std::string path = destination + "/" + name;
  if (name.back() == '/') return makeDirectories(path);

  if (unzOpenCurrentFile(zip) != UNZ_OK) {
    std::printf("Cannot extract the file: %s\n", name.c_str());
    return false;
  }
  int fd = openOutput(path);
  if (fd < 0) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (makeDirectories(parent.string())) fd = openOutput(path);
  }
  bool ok = fd >= 0;
  if (!ok) std::printf("Cannot create the file: %s\n", path.c_str());
  std::vector<char> buffer(kChunk);
  while (ok) {
    int read = unzReadCurrentFile(zip, buffer.data(), unsigned(buffer.size()));
    if (read == 0) break;
    if (read > 0 && !budget.spend(uint64_t(read))) {
      std::printf("Refused: the package unpacks to more than %llu bytes: %s\n",
                  static_cast<unsigned long long>(budget.allowed()), name.c_str());
      ok = false;
      break;
    }
    ok = read > 0 && writeAll(fd, buffer.data(), size_t(read));
    if (!ok) std::printf("Cannot extract the file: %s\n", name.c_str());
  }
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  // Reports a checksum mismatch once the whole entry was read.
  if (unzCloseCurrentFile(zip) != UNZ_OK && ok) {
    std::printf("Cannot extract the file: %s\n", name.c_str());
    ok = false;
  }
  if (ok) setModificationTime(path, info.tmu_date);
  return ok;
}

// Every entry name must stay inside the destination, and the entries walked
// may be no more than allowed; checked before anything is written.
bool checkEntries(unzFile zip, uint64_t maxEntries) {
  uint64_t count = 0;
  for (int status = unzGoToFirstFile(zip); status != UNZ_END_OF_LIST_OF_FILE; status = unzGoToNextFile(zip)) {
    if (++count > maxEntries) {
      std::printf("Refused: the package has more than %llu entries\n", static_cast<unsigned long long>(maxEntries));
      return false;
    }
    unz_file_info64 info{};
    std::string name;
    if (status != UNZ_OK || !currentEntry(zip, info, name)) {
      std::printf("Cannot get current file info: %s\n", name.c_str());
      return false;
    }
    if (!isContainedEntryName(name)) {
      std::printf("Refused entry outside the destination: %s\n", name.c_str());
      return false;
    }
    if (isControlFileName(name)) {
      std::printf("Refused entry the web server reads as control, not content: %s\n", name.c_str());
      return false;
    }
  }
  return true;
}

// The current entry, exactly `size` bytes whose checksum holds, as text.
bool readCurrent(unzFile zip, uint64_t size, std::string& text) {
  if (unzOpenCurrentFile(zip) != UNZ_OK) return false;
  std::vector<char> buffer(size_t(size) + 1, '\0');
  size_t filled = 0;
  while (filled < size) {
    int read = unzReadCurrentFile(zip, buffer.data() + filled, unsigned(size - filled));
    if (read <= 0) break;
    filled += size_t(read);
  }
  const bool intact = unzCloseCurrentFile(zip) == UNZ_OK;
  if (filled != size || !intact) return false;
  text.assign(buffer.data(), filled);
  return true;
}

}  // namespace

bool makeDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return std::filesystem::is_directory(path, error);
}

bool isContainedEntryName(const std::string& name) {
  const std::string path = withSlashes(name);
  if (path.empty() || path.front() == '/') return false;
  size_t start = 0;
  for (bool first = true;; first = false) {
    size_t end = path.find('/', start);
    const std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part == "..") return false;
    // "C:" and "COM1:" prefixes name a drive or a device.
    if (first && part.find(':') != std::string::npos) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool isControlFileName(const std::string& name) {
  static const std::string kPasswords = ".htpasswd";
  std::string lower = name;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return lower.find(kPasswords) != std::string::npos;
}

bool findControlEntry(unzFile zip, uint64_t maxEntries, std::string& storedName) {
  if (!zip) return false;
  uint64_t count = 0;
  for (int status = unzGoToFirstFile(zip); status == UNZ_OK && ++count <= maxEntries; status = unzGoToNextFile(zip)) {
    unz_file_info64 info{};
    std::string name;
    if (currentEntry(zip, info, name) && isControlFileName(name)) {
      storedName = name;
      return true;
    }
  }
  return false;
}

bool findEntry(unzFile zip, const std::string& entryName, std::string& storedName) {
  unz_file_info64 info{};
  return zip && unzLocateFile(zip, entryName.c_str(), kCaseInsensitive) == UNZ_OK &&
         currentEntry(zip, info, storedName);
}

bool extractToMemory(unzFile zip, const std::string& entryName, std::string& text, std::string& storedName) {
  if (!zip) return false;
  unz_file_info64 info{};
  std::string name;
  if (unzLocateFile(zip, entryName.c_str(), kCaseInsensitive) != UNZ_OK) {
    std::printf("Cannot locate the file %s\nn", entryName.c_str());
    return false;
  }
  if (!currentEntry(zip, info, name)) {
    std::printf("Cannot get current file info: %s\nn", entryName.c_str());
    return false;
  }
  if (info.uncompressed_size > kMaxMemoryEntry) {
    std::printf("Cannot alloc memory for the current file: %s\nn", entryName.c_str());
    return false;
  }
  if (!readCurrent(zip, info.uncompressed_size, text)) {
    std::printf("Cannot extract the file: %s\nn", entryName.c_str());
    return false;
  }
  storedName = name;
  return true;
}

int extractAll(unzFile zip, uint64_t archiveBytes, const std::string& destination, const UXPackageLimits& limits) {
  if (!zip || destination.empty()) return -1;
  if (!checkEntries(zip, limits.maxEntries) || !makeDirectories(destination)) return 1;
  WriteBudget budget(limits, archiveBytes);
  for (int status = unzGoToFirstFile(zip); status != UNZ_END_OF_LIST_OF_FILE; status = unzGoToNextFile(zip)) {
    if (status != UNZ_OK || !extractCurrent(zip, destination, budget)) return 1;
  }
  return 0;
}

}  // namespace UnzipExtract
