#include "ostrel/UXUpdateManager/UnzipExtract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <minizip/unzip.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <vector>

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

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= size_t(written);
  }
  return true;
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

// Extracts the current entry below `destination`; false when it fails.
bool extractCurrent(unzFile zip, const std::string& destination) {
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
    boost::filesystem::path parent = boost::filesystem::path(path).parent_path();
    if (makeDirectories(parent.string())) fd = openOutput(path);
  }
  bool ok = fd >= 0;
  if (!ok) std::printf("Cannot create the file: %s\n", path.c_str());
  std::vector<char> buffer(kChunk);
  while (ok) {
    int read = unzReadCurrentFile(zip, buffer.data(), unsigned(buffer.size()));
    if (read == 0) break;
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

// Every entry name must stay inside the destination; checked before anything is written.
bool allEntriesContained(unzFile zip) {
  for (int status = unzGoToFirstFile(zip); status != UNZ_END_OF_LIST_OF_FILE; status = unzGoToNextFile(zip)) {
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
  }
  return true;
}

}  // namespace

bool makeDirectories(const std::string& path) {
  if (path.empty()) return false;
  boost::system::error_code error;
  boost::filesystem::create_directories(path, error);
  return boost::filesystem::is_directory(path, error);
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

bool extractToMemory(const std::string& archive, const std::string& entryName, std::string& text) {
  unzFile zip = unzOpen64(archive.c_str());
  if (!zip) {
    std::printf("Cannot open %s\nn", archive.c_str());
    return false;
  }
  bool ok = false;
  unz_file_info64 info{};
  std::string name;
  if (unzLocateFile(zip, entryName.c_str(), kCaseInsensitive) != UNZ_OK) {
    std::printf("Cannot locate the file %s\nn", entryName.c_str());
  } else if (!currentEntry(zip, info, name)) {
    std::printf("Cannot get current file info: %s\nn", entryName.c_str());
  } else if (info.uncompressed_size > kMaxMemoryEntry) {
    std::printf("Cannot alloc memory for the current file: %s\nn", entryName.c_str());
  } else if (unzOpenCurrentFile(zip) != UNZ_OK) {
    std::printf("Cannot extract the file: %s\nn", entryName.c_str());
  } else {
    std::vector<char> buffer(size_t(info.uncompressed_size) + 1, '\0');
    size_t filled = 0;
    while (filled < info.uncompressed_size) {
      int read = unzReadCurrentFile(zip, buffer.data() + filled, unsigned(info.uncompressed_size - filled));
      if (read <= 0) break;
      filled += size_t(read);
    }
    bool intact = unzCloseCurrentFile(zip) == UNZ_OK;
    ok = filled == info.uncompressed_size && intact;
    if (ok) {
      text.assign(buffer.data(), filled);
    } else {
      std::printf("Cannot extract the file: %s\nn", entryName.c_str());
    }
  }
  unzClose(zip);
  return ok;
}

int extractAll(const std::string& archive, const std::string& destination) {
  if (archive.empty() || destination.empty()) return -1;
  unzFile zip = unzOpen64(archive.c_str());
  if (!zip) {
    std::printf("Cannot open %s\nn", archive.c_str());
    return 1;
  }
  int result = 0;
  if (!allEntriesContained(zip) || !makeDirectories(destination)) {
    result = 1;
  } else {
    for (int status = unzGoToFirstFile(zip); status != UNZ_END_OF_LIST_OF_FILE; status = unzGoToNextFile(zip)) {
      if (status != UNZ_OK || !extractCurrent(zip, destination)) {
        result = 1;
        break;
      }
    }
  }
  unzClose(zip);
  return result;
}

}  // namespace UnzipExtract
