#include "ostrel/engine/static_files.h"

#include <inttypes.h>
#include <sys/sendfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "ostrel/engine/dispatch.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/options.h"

namespace {

struct MimeType {
  const char* extension;
  size_t ext_len;
  const char* type;
  size_t type_len;
};

#define MIME(ext, type) {ext, sizeof(ext) - 1, type, sizeof(type) - 1}
const MimeType builtin_mime_types[] = {
    MIME(".html", "text/html"),
    MIME(".htm", "text/html"),
    MIME(".shtm", "text/html"),
    MIME(".shtml", "text/html"),
    MIME(".css", "text/css"),
    MIME(".js", "application/x-javascript"),
    MIME(".ico", "image/x-icon"),
    MIME(".gif", "image/gif"),
    MIME(".jpg", "image/jpeg"),
    MIME(".jpeg", "image/jpeg"),
    MIME(".png", "image/png"),
    MIME(".svg", "image/svg+xml"),
    MIME(".torrent", "application/x-bittorrent"),
    MIME(".wav", "audio/x-wav"),
    MIME(".mp3", "audio/x-mp3"),
    MIME(".mid", "audio/mid"),
    MIME(".m3u", "audio/x-mpegurl"),
    MIME(".ram", "audio/x-pn-realaudio"),
    MIME(".xml", "text/xml"),
    MIME(".xslt", "application/xml"),
    MIME(".ra", "audio/x-pn-realaudio"),
    MIME(".doc", "application/msword"),
    MIME(".exe", "application/octet-stream"),
    MIME(".zip", "application/x-zip-compressed"),
    MIME(".xls", "application/excel"),
    MIME(".tgz", "application/x-tar-gz"),
    MIME(".tar", "application/x-tar"),
    MIME(".gz", "application/x-gunzip"),
    MIME(".arj", "application/x-arj-compressed"),
    MIME(".rar", "application/x-arj-compressed"),
    MIME(".rtf", "application/rtf"),
    MIME(".pdf", "application/pdf"),
    MIME(".swf", "application/x-shockwave-flash"),
    MIME(".mpg", "video/mpeg"),
    MIME(".mpeg", "video/mpeg"),
    MIME(".mp4", "video/mp4"),
    MIME(".m4v", "video/x-m4v"),
    MIME(".asf", "video/x-ms-asf"),
    MIME(".avi", "video/x-msvideo"),
    MIME(".bmp", "image/bmp"),
};
#undef MIME

// Reads a decimal without sign; returns the position behind it or null.
const char* read_number(const char* s, int64_t* out) {
  if (*s < '0' || *s > '9') return nullptr;
  int64_t n = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    int digit = *s - '0';
    if (n > (INT64_MAX - digit) / 10) return nullptr;
    n = n * 10 + digit;
  }
  *out = n;
  return s;
}

// Sends LEN bytes of FP from OFFSET; returns the bytes sent.
int64_t send_file_data(Connection* conn, FILE* fp, int64_t offset, int64_t len) {
  int64_t sent = 0;
  if (conn->ssl == nullptr && !conn->nonblocking) {
    // Plain sockets: the kernel copies from the file.
    off_t pos = static_cast<off_t>(offset);
    while (sent < len && conn->client.sock >= 0) {
      int64_t left = len - sent;
      ssize_t n = sendfile(conn->client.sock, fileno(fp), &pos, left > (1 << 30) ? (1 << 30) : static_cast<size_t>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += n;
    }
    return sent;
  }
  char buf[16384];
  while (sent < len) {
    size_t want = len - sent < static_cast<int64_t>(sizeof(buf)) ? static_cast<size_t>(len - sent) : sizeof(buf);
    size_t n = std::fread(buf, 1, want, fp);
    if (n == 0) break;
    int64_t written = push(conn, buf, static_cast<int64_t>(n));
    sent += written;
    if (written != static_cast<int64_t>(n)) break;
  }
  return sent;
}

}  // namespace

void get_mime_type(const EngineContext* ctx, const char* path, const char** type, size_t* len) {
  size_t path_len = std::strlen(path);

  ListElement elem;
  const char* list = ctx->config[EXTRA_MIME_TYPES];
  while ((list = next_option_element(list, &elem)) != nullptr) {
    if (elem.eq_value == nullptr || elem.len == 0) continue;
    if (path_len > elem.len && strncasecmp(path + path_len - elem.len, elem.ptr, elem.len) == 0) {
      *type = elem.eq_value;
      *len = elem.eq_len;
      return;
    }
  }
  for (const MimeType& m : builtin_mime_types) {
    if (path_len > m.ext_len && strcasecmp(path + path_len - m.ext_len, m.extension) == 0) {
      *type = m.type;
      *len = m.type_len;
      return;
    }
  }
  *type = "text/plain";
  *len = 10;
}

void gmt_time_string(char* buf, size_t buf_len, int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (gmtime_r(&tt, &tm) == nullptr || std::strftime(buf, buf_len, "%a, %d %b %Y %H:%M:%S GMT", &tm) == 0) {
    if (buf_len > 0) buf[0] = '\0';
  }
}

int parse_range_header(const char* value, int64_t size, int64_t* first, int64_t* last) {
  if (strncasecmp(value, "bytes=", 6) != 0) return 0;
  const char* s = value + 6;
  while (*s == ' ') s++;
  int64_t a = -1;
  int64_t b = -1;
  if (*s == '-') {
    // A suffix: the last B bytes.
    const char* end = read_number(s + 1, &b);
    if (end == nullptr) return 0;
    if (b == 0 || size == 0) return -1;
    *first = b >= size ? 0 : size - b;
    *last = size - 1;
    return 1;
  }
  const char* end = read_number(s, &a);
  if (end == nullptr || *end != '-') return 0;
  end++;
  if (*end >= '0' && *end <= '9') {
    end = read_number(end, &b);
    if (end == nullptr) return 0;
    if (b < a) return 0;
  }
  if (a >= size) return -1;
  *first = a;
  *last = (b < 0 || b >= size) ? size - 1 : b;
  return 1;
}

void handle_file_request(Connection* conn, const char* path, const FileStatus* st) {
  int status = 200;
  const char* reason = "OK";
  int64_t content_len = st->size;
  const char* type;
  size_t type_len;
  get_mime_type(conn->ctx, path, &type, &type_len);

  FILE* fp = mg_fopen(path, "rb");
  if (fp == nullptr) {
    send_http_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, std::strerror(errno));
    return;
  }

  char range[128] = "";
  const char* range_header = mg_find_header(conn, "Range");
  int64_t first = 0;
  int64_t last = 0;
  int satisfiable = range_header != nullptr ? parse_range_header(range_header, st->size, &first, &last) : 0;
  if (satisfiable < 0) {
    std::fclose(fp);
    char extra[64];
    std::snprintf(extra, sizeof(extra), "Content-Range: bytes */%" PRId64 "\r\n", st->size);
    send_http_error_ex(conn, 416, "Requested Range Not Satisfiable", extra, "%s", "");
    return;
  }
  if (satisfiable > 0) {
    status = 206;
    reason = "Partial Content";
    content_len = last - first + 1;
    if (fseeko(fp, static_cast<off_t>(first), SEEK_SET) != 0) {
      std::fclose(fp);
      send_http_error(conn, 500, "Internal Server Error", "fseek(%s): %s", path, std::strerror(errno));
      return;
    }
    std::snprintf(range, sizeof(range), "Content-Range: bytes %" PRId64 "-%" PRId64 "/%" PRId64 "\r\n", first,
                  last, st->size);
  }

  char date[64];
  char last_modified[64];
  char etag[64];
  gmt_time_string(date, sizeof(date), static_cast<int64_t>(std::time(nullptr)));
  gmt_time_string(last_modified, sizeof(last_modified), st->mtime);
  std::snprintf(etag, sizeof(etag), "%" PRIx64 ".%" PRIx64, static_cast<uint64_t>(st->mtime),
                static_cast<uint64_t>(st->size));

  conn->request_info.status_code = status;
  char head[1024];
  int head_len = std::snprintf(head, sizeof(head),
                               "HTTP/1.1 %d %s\r\n"
                               "Date: %s\r\n"
                               "Last-Modified: %s\r\n"
                               "Etag: \"%s\"\r\n"
                               "Content-Type: %.*s\r\n"
                               "Content-Length: %" PRId64 "\r\n"
                               "Connection: %s\r\n"
                               "Accept-Ranges: bytes\r\n"
                               "%s\r\n",
                               status, reason, date, last_modified, etag, static_cast<int>(type_len), type,
                               content_len, suggest_connection_header(conn), range);
  if (head_len < 0 || head_len >= static_cast<int>(sizeof(head))) {
    // Only an absurd extra content type can get here.
    std::fclose(fp);
    send_http_error(conn, 500, "Internal Server Error", "%s", "Response head too large");
    return;
  }
  set_corked(conn, 1);
  if (push(conn, head, head_len) != head_len) {
    set_corked(conn, 0);
    conn->must_close = 1;
    std::fclose(fp);
    return;
  }

  if (std::strcmp(conn->request_info.request_method, "HEAD") != 0) {
    int64_t sent = send_file_data(conn, fp, first, content_len);
    conn->num_bytes_sent += sent;
    // A file that shrank or a failed write leaves the reply shorter than its
    // Content-Length: only closing the connection tells the client.
    if (sent != content_len) conn->must_close = 1;
  }
  set_corked(conn, 0);
  std::fclose(fp);
}
