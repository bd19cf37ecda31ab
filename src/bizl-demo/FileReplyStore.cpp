#include "bizl-demo/FileReplyStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>

#include "bizl-demo/XmlText.h"

namespace bizl {

namespace fs = std::filesystem;

namespace {

// A descriptor closed when it goes out of scope.
class OpenFile {
 public:
  explicit OpenFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
  ~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  bool stamp(FileStamp& stamp) const {
    struct stat status;
    if (fd_ < 0 || ::fstat(fd_, &status) != 0) return false;
    stamp = FileStamp(status);
    return true;
  }

  // Everything up to `limit` bytes; false on an error or a longer file.
  bool readAll(size_t limit, std::string& content) const {
    char buffer[16384];
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) return true;
      if (content.size() + size_t(got) > limit) return false;
      content.append(buffer, size_t(got));
    }
  }

 private:
  int fd_;
};

bool isUsable(const FileStamp& stamp) { return stamp.isFile() && stamp.size() <= FileReplyStore::kMaxFileSize; }

}  // namespace

FileReplyStore::FileReplyStore(std::string root, Clock now) : root_(std::move(root)), now_(now) {}

bool FileReplyStore::isSafeName(const std::string& name) {
  size_t segmentStart = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/') {
      const size_t length = i - segmentStart;
      if (length == 0 || name.compare(segmentStart, length, ".") == 0 || name.compare(segmentStart, length, "..") == 0)
        return false;
      segmentStart = i + 1;
    } else if (!(std::isalnum(static_cast<unsigned char>(name[i])) || name[i] == '_' || name[i] == '-' || name[i] == '.')) {
      return false;
    }
  }
  return true;
}

DataText FileReplyStore::read(const std::string& name) const {
  if (!isSafeName(name)) return nullptr;
  // Taken before the stamp: what is read afterwards is at least as new.
  const int64_t readStart = now_();
  FileStamp stamp;
  if (!FileStamp::of(root_ + "/" + name, stamp) || !isUsable(stamp)) {
    files_.forget(name);
    return nullptr;
  }
  if (DataText text = files_.find(name, stamp)) return text;
  return load(name, readStart);
}

// The stamp comes from the open file, so a file replaced meanwhile is judged by
// the version actually read.
DataText FileReplyStore::load(const std::string& name, int64_t readStart) const {
  ++loads_;
  OpenFile file(root_ + "/" + name);
  FileStamp stamp;
  std::string content;
  if (!file.stamp(stamp) || !isUsable(stamp) || !file.readAll(kMaxFileSize, content)) {
    files_.forget(name);
    return nullptr;
  }
  return files_.keep(name, stamp, readStart, std::make_shared<const std::string>(compactXml(content)));
}

std::vector<std::string> FileReplyStore::list(const std::string& folder) const {
  if (!isSafeName(folder)) return {};
  const int64_t readStart = now_();
  FileStamp stamp;
  if (!FileStamp::of(root_ + "/" + folder, stamp) || !stamp.isFolder()) {
    folders_.forget(folder);
    return {};
  }
  // Files come and go by changing the folder; a file changed in place is read again by read.
  std::shared_ptr<const Names> names = folders_.find(folder, stamp);
  if (!names) names = folders_.keep(folder, stamp, readStart, scan(folder));
  return *names;
}

std::shared_ptr<const FileReplyStore::Names> FileReplyStore::scan(const std::string& folder) const {
  auto names = std::make_shared<Names>();
  std::error_code error;
  for (fs::directory_iterator it(fs::path(root_) / folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    if (path.extension() == ".xml" && it->is_regular_file(error) && isSafeName(path.stem().string()))
      names->push_back(path.stem().string());
  }
  std::sort(names->begin(), names->end());
  return names;
}

}  // namespace bizl
