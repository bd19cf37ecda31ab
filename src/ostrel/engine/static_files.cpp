#include "ostrel/engine/static_files.h"

#include <fcntl.h>
#include <inttypes.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

const char* const DAY_NAMES[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTH_NAMES[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Floor division: times before 1970 step back a whole day, not forward.
int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// A file reply's head: its limit keeps an absurd extra content type out and
// leaves room for the extra header lines; the rest of the reply buffer takes a small file behind the head.
const size_t MAX_FILE_HEAD_SIZE = 1024 + MAX_EXTRA_HEADERS_SIZE;
const size_t REPLY_BUFFER_SIZE = 16384;

// Days since 1970-01-01 as a date of the Gregorian calendar; MONTH 1..12.
void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
  days += 719468;  // from 0000-03-01, so that leap days end a year
  int64_t era = floor_div(days, 146097);
  int64_t day_of_era = days - era * 146097;
  int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t march_month = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * march_month + 2) / 5 + 1);
  *month = static_cast<int>(march_month < 10 ? march_month + 3 : march_month - 9);
  *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

// The inverse of civil_from_days.
int64_t days_from_civil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = floor_div(year, 400);
  int64_t year_of_era = year - era * 400;
  int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// Reads exactly N digits; returns the position behind them or null.
const char* read_digits(const char* s, int n, int* out) {
  int value = 0;
  for (int i = 0; i < n; i++) {
    if (s[i] < '0' || s[i] > '9') return nullptr;
    value = value * 10 + (s[i] - '0');
  }
  *out = value;
  return s + n;
}

// 1..12 for the month named at S, 0 when none is.
int read_month(const char* s) {
  for (int i = 0; i < 12; i++) {
    if (std::strncmp(s, MONTH_NAMES[i], 3) == 0) return i + 1;
  }
  return 0;
}

// "08:49:37" as seconds into the day; returns the position behind it or null.
const char* read_time_of_day(const char* s, int64_t* seconds) {
  int hour;
  int minute;
  int second;
  if ((s = read_digits(s, 2, &hour)) == nullptr || *s++ != ':' || (s = read_digits(s, 2, &minute)) == nullptr ||
      *s++ != ':' || (s = read_digits(s, 2, &second)) == nullptr) {
    return nullptr;
  }
  if (hour > 23 || minute > 59 || second > 60) return nullptr;
  *seconds = hour * 3600 + minute * 60 + second;
  return s;
}

struct DateFields {
  int year;
  int year_digits;  // 2 in the RFC 850 form
  int month;
  int day;
  int64_t seconds;
};

// Behind the day's name and comma: " 06 Nov 1994 08:49:37 GMT", or the
// RFC 850 form " 06-Nov-94 08:49:37 GMT".
const char* read_rfc_date(const char* s, DateFields* f) {
  if (*s++ != ' ' || (s = read_digits(s, 2, &f->day)) == nullptr) return nullptr;
  char separator = *s;
  if ((separator != ' ' && separator != '-') || (f->month = read_month(s + 1)) == 0 || s[4] != separator) {
    return nullptr;
  }
  f->year_digits = separator == ' ' ? 4 : 2;
  if ((s = read_digits(s + 5, f->year_digits, &f->year)) == nullptr || *s++ != ' ' ||
      (s = read_time_of_day(s, &f->seconds)) == nullptr) {
    return nullptr;
  }
  return std::strcmp(s, " GMT") == 0 ? s + 4 : nullptr;
}

// Behind the day's name: " Nov  6 08:49:37 1994".
const char* read_asctime_date(const char* s, DateFields* f) {
  if (*s++ != ' ' || (f->month = read_month(s)) == 0 || s[3] != ' ') return nullptr;
  s += 4;
  s = *s == ' ' ? read_digits(s + 1, 1, &f->day) : read_digits(s, 2, &f->day);
  f->year_digits = 4;
  if (s == nullptr || *s++ != ' ' || (s = read_time_of_day(s, &f->seconds)) == nullptr || *s++ != ' ' ||
      (s = read_digits(s, 4, &f->year)) == nullptr) {
    return nullptr;
  }
  return *s == '\0' ? s : nullptr;
}

// Two digits of a year: the year ending in them, taken as past when it
// would lie more than 50 years ahead.
int64_t year_of_two_digits(int digits) {
  int64_t this_year;
  int month;
  int day;
  civil_from_days(floor_div(static_cast<int64_t>(std::time(nullptr)), 86400), &this_year, &month, &day);
  int64_t year = this_year - floor_mod(this_year, 100) + digits;
  return year > this_year + 50 ? year - 100 : year;
}

int date_to_time(const DateFields* f, int64_t* t) {
  int64_t year = f->year_digits == 2 ? year_of_two_digits(f->year) : f->year;
  int64_t days = days_from_civil(year, f->month, f->day);
  // A day the month does not have ("Feb 30", day 0) comes back as another one.
  int64_t check_year;
  int check_month;
  int check_day;
  civil_from_days(days, &check_year, &check_month, &check_day);
  if (check_year != year || check_month != f->month || check_day != f->day) return -1;
  *t = days * 86400 + f->seconds;
  return 0;
}

// A reply head built in one buffer: no formatting library on the way.
struct HeadBuffer {
  char* data;
  size_t cap;
  size_t len;
  bool overflow;
};

void add_bytes(HeadBuffer* h, const char* s, size_t n) {
  if (h->overflow || n >= h->cap - h->len) {
    h->overflow = true;
    return;
  }
  std::memcpy(h->data + h->len, s, n);
  h->len += n;
}

void add_text(HeadBuffer* h, const char* s) { add_bytes(h, s, std::strlen(s)); }

// Digits of N in BASE (10 or 16, lower case), at least MIN_DIGITS of them.
void add_unsigned(HeadBuffer* h, uint64_t n, unsigned base, int min_digits) {
  char digits[24];
  int i = sizeof(digits);
  do {
    digits[--i] = "0123456789abcdef"[n % base];
    n /= base;
  } while (n != 0 || static_cast<int>(sizeof(digits)) - i < min_digits);
  add_bytes(h, digits + i, sizeof(digits) - static_cast<size_t>(i));
}

void add_decimal(HeadBuffer* h, int64_t n) {
  if (n < 0) add_bytes(h, "-", 1);
  add_unsigned(h, n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n), 10, 1);
}

// The status line, the date, the validators and the configured extra
// header lines, with which every reply about a file begins.
void add_validators(HeadBuffer* h, const EngineContext* ctx, const char* status_line, const FileStatus* st,
                    const char* etag) {
  char last_modified[GMT_TIME_SIZE];
  gmt_time_string(last_modified, sizeof(last_modified), st->mtime);
  add_text(h, status_line);
  add_text(h, "Date: ");
  add_text(h, cached_gmt_time_string(static_cast<int64_t>(std::time(nullptr))));
  add_text(h, "\r\nLast-Modified: ");
  add_text(h, last_modified);
  add_text(h, "\r\nETag: ");
  add_text(h, etag);
  // The browser asks again on every load: an edited file shows at once, an
  // unchanged one costs a 304.
  add_text(h, "\r\nCache-Control: no-cache\r\n");
  if (ctx->extra_headers != nullptr) add_text(h, ctx->extra_headers);
}

void add_file_head(Connection* conn, const char* path, const FileStatus* st, const char* etag, bool partial,
                   int64_t first, int64_t last, HeadBuffer* h) {
  const char* type;
  size_t type_len;
  get_mime_type(conn->ctx, path, &type, &type_len);

  conn->request_info.status_code = partial ? 206 : 200;
  add_validators(h, conn->ctx, partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n", st, etag);
  add_text(h, "Content-Type: ");
  add_bytes(h, type, type_len);
  add_text(h, "\r\nContent-Length: ");
  add_decimal(h, last - first + 1);
  add_text(h, "\r\nConnection: ");
  add_text(h, suggest_connection_header(conn));
  add_text(h, "\r\nAccept-Ranges: bytes\r\n");
  if (partial) {
    add_text(h, "Content-Range: bytes ");
    add_decimal(h, first);
    add_bytes(h, "-", 1);
    add_decimal(h, last);
    add_bytes(h, "/", 1);
    add_decimal(h, st->size);
    add_bytes(h, "\r\n", 2);
  }
  add_bytes(h, "\r\n", 2);
}

// The reply head ends with CRLF CRLF; a HEAD request or an empty body ends
// the reply with it, else the body follows in the same write if it fits.
void send_file_reply(Connection* conn, int fd, HeadBuffer* head, int64_t first, int64_t content_len) {
  bool with_body = std::strcmp(conn->request_info.request_method, "HEAD") != 0 && content_len > 0;
  int64_t head_len = static_cast<int64_t>(head->len);
  int64_t room = static_cast<int64_t>(head->cap - head->len);
  if (!with_body || content_len <= room) {
    int64_t body_len = 0;
    if (with_body) {
      ssize_t n = read_file_at(fd, head->data + head->len, static_cast<size_t>(content_len), first);
      body_len = n > 0 ? n : 0;
    }
    int64_t sent = push(conn, head->data, head_len + body_len);
    conn->num_bytes_sent += sent > head_len ? sent - head_len : 0;
    // A file that shrank or a failed write leaves the reply shorter than its
    // Content-Length: only closing the connection tells the client.
    if (sent != head_len + (with_body ? content_len : 0)) conn->must_close = 1;
    return;
  }
  if (push_before_more(conn, head->data, head_len) != head_len) {
    conn->must_close = 1;
    return;
  }
  int64_t sent = push_file(conn, fd, first, content_len);
  conn->num_bytes_sent += sent;
  if (sent != content_len) conn->must_close = 1;
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
  if (buf_len == 0) return;
  int64_t days = floor_div(t, 86400);
  int64_t seconds = t - days * 86400;
  int64_t year;
  int month;
  int day;
  civil_from_days(days, &year, &month, &day);
  char text[64];
  HeadBuffer h = {text, sizeof(text), 0, false};
  add_text(&h, DAY_NAMES[floor_mod(days + 4, 7)]);  // 1970-01-01 was a Thursday
  add_bytes(&h, ", ", 2);
  add_unsigned(&h, static_cast<uint64_t>(day), 10, 2);
  add_bytes(&h, " ", 1);
  add_text(&h, MONTH_NAMES[month - 1]);
  add_bytes(&h, " ", 1);
  if (year < 0) add_bytes(&h, "-", 1);
  add_unsigned(&h, static_cast<uint64_t>(year < 0 ? -year : year), 10, 4);
  add_bytes(&h, " ", 1);
  add_unsigned(&h, static_cast<uint64_t>(seconds / 3600), 10, 2);
  add_bytes(&h, ":", 1);
  add_unsigned(&h, static_cast<uint64_t>(seconds / 60 % 60), 10, 2);
  add_bytes(&h, ":", 1);
  add_unsigned(&h, static_cast<uint64_t>(seconds % 60), 10, 2);
  add_bytes(&h, " GMT", 4);
  bool fits = !h.overflow && h.len < buf_len;
  if (fits) std::memcpy(buf, text, h.len);
  buf[fits ? h.len : 0] = '\0';
}

const char* cached_gmt_time_string(int64_t now) {
  // Per thread: no lock, and no reader ever sees a text half written.
  static thread_local int64_t cached_second = INT64_MIN;
  static thread_local char cached_text[GMT_TIME_SIZE];
  if (now != cached_second) {
    gmt_time_string(cached_text, sizeof(cached_text), now);
    cached_second = now;
  }
  return cached_text;
}

int parse_http_date(const char* text, int64_t* t) {
  const char* s = text;
  // The day's name says nothing the date does not.
  while ((*s >= 'A' && *s <= 'Z') || (*s >= 'a' && *s <= 'z')) s++;
  if (s - text < 3) return -1;
  DateFields f;
  s = *s == ',' ? read_rfc_date(s + 1, &f) : read_asctime_date(s, &f);
  return s != nullptr ? date_to_time(&f, t) : -1;
}

void make_etag(const FileStatus* st, char* buf, size_t buf_len) {
  if (buf_len == 0) return;
  // Unsigned: a time beyond the year 2262 wraps instead of overflowing.
  uint64_t ns = static_cast<uint64_t>(st->mtime) * 1000000000u + static_cast<uint64_t>(st->mtime_nsec);
  HeadBuffer h = {buf, buf_len, 0, false};
  add_bytes(&h, "W/\"", 3);
  add_unsigned(&h, static_cast<uint64_t>(st->size), 16, 1);
  add_bytes(&h, "-", 1);
  add_unsigned(&h, ns, 16, 1);
  add_bytes(&h, "\"", 1);
  buf[h.overflow ? 0 : h.len] = '\0';
}

namespace {

// A list element ends at white space, a comma or the end of the list.
bool ends_element(char c) { return c == '\0' || c == ' ' || c == '\t' || c == ','; }

}  // namespace

int etag_list_matches(const char* list, const char* tag) {
  const char* opaque = std::strncmp(tag, "W/", 2) == 0 ? tag + 2 : tag;
  size_t opaque_len = std::strlen(opaque);
  const char* s = list;
  for (;;) {
    while (*s == ' ' || *s == '\t' || *s == ',') s++;
    if (*s == '*') return ends_element(s[1]) ? 1 : 0;
    if (std::strncmp(s, "W/", 2) == 0) s += 2;
    if (*s != '"') return 0;
    const char* end = std::strchr(s + 1, '"');
    if (end == nullptr || !ends_element(end[1])) return 0;
    size_t len = static_cast<size_t>(end + 1 - s);
    if (len == opaque_len && std::memcmp(s, opaque, len) == 0) return 1;
    s = end + 1;
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

namespace {

// True when the client's copy, named by its validators, is this version of
// the file. If-None-Match decides when present.
bool is_not_modified(const Connection* conn, const FileStatus* st, const char* etag) {
  const char* method = conn->request_info.request_method;
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) return false;
  const char* tags = mg_find_header(conn, "If-None-Match");
  if (tags != nullptr) return etag_list_matches(tags, etag) != 0;
  const char* since = mg_find_header(conn, "If-Modified-Since");
  int64_t t;
  // Only the very date this engine gave: a file replaced by an older one
  // (an update restoring files with their times) is new to the client.
  return since != nullptr && parse_http_date(since, &t) == 0 && t == st->mtime;
}

void send_not_modified(Connection* conn, const FileStatus* st, const char* etag) {
  char reply[MAX_FILE_HEAD_SIZE];
  HeadBuffer head = {reply, sizeof(reply), 0, false};
  conn->request_info.status_code = 304;
  add_validators(&head, conn->ctx, "HTTP/1.1 304 Not Modified\r\n", st, etag);
  add_text(&head, "Connection: ");
  add_text(&head, suggest_connection_header(conn));
  add_text(&head, "\r\n\r\n");
  int64_t head_len = static_cast<int64_t>(head.len);
  if (push(conn, reply, head_len) != head_len) conn->must_close = 1;
}

// 1 with FIRST..LAST for a range to send, 0 for the whole file, -1 when the
// range is unsatisfiable.
int requested_range(const Connection* conn, int64_t size, int64_t* first, int64_t* last) {
  const char* range = mg_find_header(conn, "Range");
  // If-Range compares strong validators, and this engine's are weak: the
  // whole file is the only answer that cannot mix two versions.
  if (range == nullptr || mg_find_header(conn, "If-Range") != nullptr) return 0;
  return parse_range_header(range, size, first, last);
}

// The reply for the whole file or the asked range of it.
void send_file(Connection* conn, const char* path, const FileStatus* st, int fd) {
  char etag[ETAG_SIZE];
  make_etag(st, etag, sizeof(etag));
  if (is_not_modified(conn, st, etag)) {
    send_not_modified(conn, st, etag);
    return;
  }
  int64_t first = 0;
  int64_t last = st->size - 1;
  int satisfiable = requested_range(conn, st->size, &first, &last);
  if (satisfiable < 0) {
    char extra[64];
    std::snprintf(extra, sizeof(extra), "Content-Range: bytes */%" PRId64 "\r\n", st->size);
    send_http_error_ex(conn, 416, "Requested Range Not Satisfiable", extra, "%s", "");
    return;
  }
  if (satisfiable == 0) {
    first = 0;
    last = st->size - 1;
  }

  char reply[REPLY_BUFFER_SIZE];
  HeadBuffer head = {reply, MAX_FILE_HEAD_SIZE, 0, false};
  add_file_head(conn, path, st, etag, satisfiable > 0, first, last, &head);
  if (head.overflow) {
    // Only an absurd extra content type can get here.
    send_http_error(conn, 500, "Internal Server Error", "%s", "Response head too large");
    return;
  }
  head.cap = sizeof(reply);
  send_file_reply(conn, fd, &head, first, last - first + 1);
}

}  // namespace

void handle_file_request(Connection* conn, const char* path, const FileStatus* st, int fd) {
  int opened = fd >= 0 ? -1 : mg_open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0 && opened < 0) {
    send_http_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, std::strerror(errno));
    return;
  }
  send_file(conn, path, st, fd >= 0 ? fd : opened);
  if (opened >= 0) sys_close(opened);
}
