#include "ostrel/engine/put_delete.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "ostrel/engine/body.h"
#include "ostrel/engine/dispatch.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/path.h"

namespace {

std::atomic<unsigned> g_temp_counter{0};

bool is_separator(char c) { return c == '/' || c == '\\'; }

struct FileSink {
  int fd;
  int64_t offset;
};

int64_t write_to_file(void* arg, const char* data, int len) {
  FileSink* sink = static_cast<FileSink*>(arg);
  int written = 0;
  while (written < len) {
    ssize_t n = sys_pwrite(sink->fd, data + written, static_cast<size_t>(len - written), sink->offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<int>(n);
    sink->offset += n;
  }
  return written;
}

// The first byte of a "Content-Range" value: "bytes=FIRST-LAST" as well as
// the standard "bytes FIRST-LAST/SIZE". Returns 1 with FIRST, else 0.
int parse_content_range(const char* value, int64_t* first) {
  if (strncasecmp(value, "bytes", 5) != 0 || (value[5] != '=' && value[5] != ' ')) return 0;
  const char* s = value + 6;
  while (*s == ' ') s++;
  if (*s < '0' || *s > '9') return 0;
  int64_t n = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    if (n > (INT64_MAX - (*s - '0')) / 10) return 0;
    n = n * 10 + (*s - '0');
  }
  *first = n;
  return 1;
}

// A new, empty file beside NATIVE that a rename can later put in its place.
int open_temp_file(const char* native, char* temp, size_t temp_len) {
  const char* slash = std::strrchr(native, '/');
  int dir_len = slash != nullptr ? static_cast<int>(slash - native) + 1 : 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    int n = std::snprintf(temp, temp_len, "%.*s.put.%ld.%u", dir_len, native, static_cast<long>(getpid()),
                          g_temp_counter.fetch_add(1));
    if (n < 0 || n >= static_cast<int>(temp_len)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = sys_open(temp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void send_put_reply(Connection* conn, int status) {
  conn->request_info.status_code = status;
  // The reply has no length: only the end of the connection delimits it.
  conn->must_close = 1;
  mg_send_formatted(conn, "HTTP/1.1 %d OK\r\n\r\n", status);
}

}  // namespace

int put_dir(const char* path) {
  char prefix[PATH_BUF_SIZE];
  for (size_t i = 1; path[i] != '\0'; i++) {
    if (!is_separator(path[i])) continue;
    if (i >= sizeof(prefix)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    std::memcpy(prefix, path, i);
    prefix[i] = '\0';
    FileStatus st;
    if (mg_stat(prefix, &st) == 0) {
      if (!st.is_directory) {
        errno = ENOTDIR;
        return -1;
      }
      continue;
    }
    if (mg_mkdir(prefix, 0777) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}

void put_file(Connection* conn, const char* path) {
  FileStatus st;
  bool exists = mg_stat(path, &st) == 0;
  int status = exists ? 200 : 201;

  if (put_dir(path) != 0) {
    send_http_error(conn, 500, "Internal Server Error", "put_dir(%s): %s", path, std::strerror(errno));
    return;
  }
  size_t path_len = std::strlen(path);
  if (path_len > 0 && is_separator(path[path_len - 1])) {
    send_put_reply(conn, status);
    return;
  }

  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') {
    send_http_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, std::strerror(ENOENT));
    return;
  }
  if (exists && st.is_directory) {
    send_http_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, std::strerror(EISDIR));
    return;
  }

  FileSink sink = {-1, 0};
  char temp[PATH_BUF_SIZE] = "";
  const char* range = mg_find_header(conn, "Content-Range");
  if (range != nullptr && parse_content_range(range, &sink.offset)) {
    // Writing into the file keeps the bytes around the range.
    status = 206;
    sink.fd = sys_open(native, O_WRONLY | O_CREAT, 0666);
  } else {
    sink.fd = open_temp_file(native, temp, sizeof(temp));
  }
  if (sink.fd < 0) {
    send_http_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, std::strerror(errno));
    return;
  }

  int stored = forward_body_data(conn, write_to_file, &sink);
  if (stored && temp[0] != '\0') {
    if (exists) sys_copy_mode(sink.fd, native);
    // Windows renames over a file only once it is closed.
    sys_close(sink.fd);
    sink.fd = -1;
    if (sys_rename(temp, native) != 0) {
      int err = errno;
      sys_remove(temp);
      send_http_error(conn, 500, "Internal Server Error", "rename(%s): %s", path, std::strerror(err));
      return;
    }
  } else if (!stored && temp[0] != '\0') {
    sys_close(sink.fd);
    sink.fd = -1;
    sys_remove(temp);
  }
  if (sink.fd >= 0) sys_close(sink.fd);
  if (stored) send_put_reply(conn, status);
}

void delete_file(Connection* conn, const char* path) {
  if (mg_remove(path) == 0) {
    send_http_error(conn, 200, "OK", "%s", "");
  } else {
    send_http_error(conn, 500, "Internal Server Error", "remove(%s): %s", path, std::strerror(errno));
  }
}
