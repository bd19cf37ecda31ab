#include "ostrel/engine/parse.h"

#include <cctype>
#include <cstring>
#include <strings.h>

namespace {

// Ends the word at the first byte of DELIMITERS and skips the run of
// delimiters that follows; returns the word.
char* skip(char** buf, const char* delimiters) {
  char* begin = *buf;
  char* end = begin + std::strcspn(begin, delimiters);
  char* next = end + std::strspn(end, delimiters);
  *end = '\0';
  *buf = next;
  return begin;
}

// Ends the line at *BUF and moves *BUF behind its line end: CRLF, LF, or
// the CR that the head's last line feed left behind. Returns null for a CR
// inside a line, which some readers take for a line end and others not.
char* take_line(char** buf) {
  char* line = *buf;
  char* end = line + std::strcspn(line, "\r\n");
  char* next = end;
  if (*next == '\r') next++;
  if (*next == '\n') {
    next++;
  } else if (*end == '\r' && *next != '\0') {
    return nullptr;
  }
  *end = '\0';
  *buf = next;
  return line;
}

bool is_token_char(unsigned char c) {
  return std::isalnum(c) != 0 || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

char* trim_blanks(char* s) {
  s += std::strspn(s, " \t");
  size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) s[--n] = '\0';
  return s;
}

// "Name: value" with a token for a name right before the colon; anything
// else (white space before the colon, no colon) would be read differently
// by another reader and is refused.
bool parse_header_line(char* line, RequestHeader* header) {
  size_t name_len = 0;
  while (is_token_char(static_cast<unsigned char>(line[name_len]))) name_len++;
  if (name_len == 0 || line[name_len] != ':') return false;
  line[name_len] = '\0';
  header->name = line;
  header->value = trim_blanks(line + name_len + 1);
  return true;
}

}  // namespace

int parse_http_headers(char** buf, RequestInfo* ri) {
  ri->num_headers = 0;
  for (;;) {
    char* line = take_line(buf);
    if (line == nullptr) return PARSE_BAD_REQUEST;
    if (*line == '\0') break;
    // A header nobody sees could be the one that matters (a second "Host").
    if (ri->num_headers == MAX_REQUEST_HEADERS) return PARSE_TOO_MANY_HEADERS;
    if (!parse_header_line(line, &ri->http_headers[ri->num_headers])) return PARSE_BAD_REQUEST;
    ri->num_headers++;
  }
  return PARSE_OK;
}

namespace {

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = std::tolower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

int get_request_len(const char* buf, int buf_len) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(buf);
  // The first control byte decides before any later head end can: a head
  // is judged the same however it was split into reads. Tabs may stand in
  // header values; bytes from 128 on may be UTF-8.
  for (int i = 0; i < buf_len; i++) {
    unsigned char c = s[i];
    if ((c < 0x20 || c == 0x7f) && c != '\r' && c != '\n' && c != '\t') return -1;
    if (c == '\n' && i + 1 < buf_len && s[i + 1] == '\n') return i + 2;
    if (c == '\n' && i + 2 < buf_len && s[i + 1] == '\r' && s[i + 2] == '\n') return i + 3;
  }
  return 0;
}

int is_valid_http_method(const char* method) {
  static const char* const methods[] = {"GET", "POST", "HEAD", "CONNECT", "PUT", "DELETE", "OPTIONS", "PROPFIND"};
  for (const char* m : methods) {
    if (std::strcmp(method, m) == 0) return 1;
  }
  return 0;
}

namespace {

// Headers that decide where a request goes or where it ends: two copies
// could be read differently by two readers.
bool has_repeated_singleton_header(const RequestInfo* ri) {
  static const char* const singletons[] = {"Host", "Origin", "Referer", "Content-Length", "Transfer-Encoding"};
  for (const char* name : singletons) {
    int seen = 0;
    for (int i = 0; i < ri->num_headers; i++) {
      if (strcasecmp(ri->http_headers[i].name, name) == 0 && ++seen > 1) return true;
    }
  }
  return false;
}

}  // namespace

int parse_http_request(char* buf, RequestInfo* ri) {
  while (*buf != '\0' && std::isspace(static_cast<unsigned char>(*buf))) buf++;
  char* line = take_line(&buf);
  if (line == nullptr) return PARSE_BAD_REQUEST;
  ri->request_method = skip(&line, " ");
  ri->uri = skip(&line, " ");
  ri->http_version = line;
  if (!is_valid_http_method(ri->request_method) || std::strncmp(ri->http_version, "HTTP/", 5) != 0) {
    return PARSE_BAD_REQUEST;
  }
  ri->http_version += 5;
  int parsed = parse_http_headers(&buf, ri);
  if (parsed != PARSE_OK) return parsed;
  // Nothing may follow the empty line that ends the head.
  if (*buf != '\0' || has_repeated_singleton_header(ri)) return PARSE_BAD_REQUEST;
  return PARSE_OK;
}

int url_decode(const char* src, size_t src_len, char* dst, size_t dst_len, int is_form) {
  size_t i = 0;
  size_t j = 0;
  for (; i < src_len && j + 1 < dst_len; i++, j++) {
    int a, b;
    if (src[i] == '%' && i + 2 < src_len && (a = hex_value(static_cast<unsigned char>(src[i + 1]))) >= 0 &&
        (b = hex_value(static_cast<unsigned char>(src[i + 2]))) >= 0) {
      dst[j] = static_cast<char>((a << 4) | b);
      i += 2;
    } else if (is_form && src[i] == '+') {
      dst[j] = ' ';
    } else {
      dst[j] = src[i];
    }
  }
  if (dst_len > 0) dst[j] = '\0';
  return i >= src_len ? static_cast<int>(j) : -1;
}

int decode_request_path(char* uri) {
  size_t len = std::strlen(uri);
  int n = url_decode(uri, len, uri, len + 1, 0);
  // A decoded NUL would end the path early: "/a.html%00.css" is no "/a.html".
  if (n < 0 || std::memchr(uri, '\0', static_cast<size_t>(n)) != nullptr) return -1;
  remove_double_dots_and_double_slashes(uri);
  return 0;
}

void remove_double_dots_and_double_slashes(char* s) {
  char* p = s;
  while (*s != '\0') {
    *p++ = *s++;
    if (is_separator(s[-1])) {
      while (is_separator(*s)) s++;
      while (s[0] == '.' && s[1] == '.') s += 2;
    }
  }
  *p = '\0';
}

int mg_find_var(const char* data, size_t data_len, const char* name, char* dst, size_t dst_len) {
  if (dst == nullptr || dst_len == 0) return -1;
  dst[0] = '\0';
  if (data == nullptr || name == nullptr) return -1;
  size_t name_len = std::strlen(name);
  const char* end = data + data_len;
  for (const char* p = data; p + name_len < end; p++) {
    if ((p == data || p[-1] == '&') && p[name_len] == '=' && strncasecmp(name, p, name_len) == 0) {
      const char* value = p + name_len + 1;
      const char* stop = static_cast<const char*>(std::memchr(value, '&', static_cast<size_t>(end - value)));
      if (stop == nullptr) stop = end;
      int n = url_decode(value, static_cast<size_t>(stop - value), dst, dst_len, 1);
      if (n < 0) dst[0] = '\0';
      return n;
    }
  }
  return -1;
}
