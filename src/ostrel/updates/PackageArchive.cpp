#include "ostrel/updates/PackageArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ostrel/updates/WriteAll.h"

namespace {

using Cursor = PackageArchive::Cursor;

constexpr size_t kCopyChunk = 64 * 1024;
constexpr size_t kReadWindow = 64 * 1024;

// Closes a descriptor that was not handed on.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Non-blocking, so that a pipe swapped in at the path cannot hold the update
// thread; only a regular file is taken.
int openSource(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  return fd.release();
}

std::string temporaryFolder(const std::string& copyDirectory) {
  if (!copyDirectory.empty()) return copyDirectory;
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

// A file without a name; where the file system cannot make one, a named file
// that loses its name at once.
int openPrivateCopy(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string pattern = folder + "/.ux-package-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

// Copies the source to its end; false past `maxBytes` or on an error.
bool copyFile(int from, int to, uint64_t maxBytes, uint64_t& copied) {
  std::vector<char> buffer(kCopyChunk);
  copied = 0;
  for (;;) {
    ssize_t read = ::read(from, buffer.data(), buffer.size());
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return false;
    if (read == 0) return true;
    copied += uint64_t(read);
    if (copied > maxBytes) {
      std::printf("Package larger than %llu bytes\n", static_cast<unsigned long long>(maxBytes));
      return false;
    }
    if (!writeAll(to, buffer.data(), size_t(read))) return false;
  }
}

// The I/O table of minizip over the copy's descriptor. The stream handle is
// the cursor itself: the archive opens its file exactly once.
voidpf ZCALLBACK openCursor(voidpf opaque, const void*, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  auto* cursor = static_cast<Cursor*>(opaque);
  cursor->position = 0;
  cursor->failed = false;
  return cursor;
}

// Reads at the position into `buffer`; the bytes read, short at the end of the file.
size_t readAt(Cursor& cursor, char* buffer, size_t size, uint64_t position) {
  size_t done = 0;
  while (done < size) {
    ssize_t read = ::pread(cursor.fd, buffer + done, size - done, off_t(position + done));
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) cursor.failed = true;
    if (read <= 0) break;
    done += size_t(read);
  }
  return done;
}

// True when the window holds the byte at the cursor's position, refilling it when not.
bool windowHolds(Cursor& cursor) {
  const uint64_t end = cursor.windowStart + cursor.window.size();
  if (cursor.position >= cursor.windowStart && cursor.position < end) return true;
  cursor.window.resize(kReadWindow);
  cursor.windowStart = cursor.position;
  cursor.window.resize(readAt(cursor, cursor.window.data(), kReadWindow, cursor.position));
  return !cursor.window.empty();
}

uLong ZCALLBACK readCursor(voidpf, voidpf stream, void* buffer, uLong size) {
  auto& cursor = *static_cast<Cursor*>(stream);
  char* out = static_cast<char*>(buffer);
  if (cursor.position >= cursor.size) return 0;
  // Large reads (entry data) go straight to the file.
  if (size >= kReadWindow) {
    size_t read = readAt(cursor, out, size, cursor.position);
    cursor.position += read;
    return uLong(read);
  }
  uLong done = 0;
  while (done < size && windowHolds(cursor)) {
    const size_t offset = size_t(cursor.position - cursor.windowStart);
    const size_t part = std::min<size_t>(size - done, cursor.window.size() - offset);
    std::copy_n(cursor.window.data() + offset, part, out + done);
    done += uLong(part);
    cursor.position += part;
  }
  return done;
}

uLong ZCALLBACK writeCursor(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK tellCursor(voidpf, voidpf stream) { return static_cast<Cursor*>(stream)->position; }

long ZCALLBACK seekCursor(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* cursor = static_cast<Cursor*>(stream);
  uint64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
    base = cursor->position;
  } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
    base = cursor->size;
  } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
    return -1;
  }
  if (offset > UINT64_MAX - base) return -1;
  cursor->position = base + offset;
  return 0;
}

int ZCALLBACK closeCursor(voidpf, voidpf) { return 0; }

int ZCALLBACK errorCursor(voidpf, voidpf stream) { return static_cast<Cursor*>(stream)->failed ? -1 : 0; }

}  // namespace

PackageArchivePtr PackageArchive::open(const std::string& path, const std::string& copyDirectory, uint64_t maxBytes) {
  Descriptor source(openSource(path));
  Descriptor copy(source.get() >= 0 ? openPrivateCopy(temporaryFolder(copyDirectory)) : -1);
  uint64_t size = 0;
  PackageArchivePtr archive;
  if (copy.get() >= 0 && copyFile(source.get(), copy.get(), maxBytes, size))
    archive = std::make_shared<PackageArchive>(Key{}, path, copy.release(), size);
  if (!archive || !archive->zip()) {
    std::printf("Cannot open %s\nn", path.c_str());
    return nullptr;
  }
  return archive;
}

PackageArchive::PackageArchive(Key, std::string path, int copy, uint64_t size) : path_(std::move(path)) {
  cursor_.fd = copy;
  cursor_.size = size;
  zlib_filefunc64_def functions{};
  functions.zopen64_file = openCursor;
  functions.zread_file = readCursor;
  functions.zwrite_file = writeCursor;
  functions.ztell64_file = tellCursor;
  functions.zseek64_file = seekCursor;
  functions.zclose_file = closeCursor;
  functions.zerror_file = errorCursor;
  functions.opaque = &cursor_;
  zip_ = unzOpen2_64(path_.c_str(), &functions);
}

PackageArchive::~PackageArchive() {
  if (zip_) unzClose(zip_);
  if (cursor_.fd >= 0) ::close(cursor_.fd);
}
