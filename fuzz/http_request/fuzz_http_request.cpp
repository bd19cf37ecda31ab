// Request heads, URI decoding and normalisation, path mapping, the file-name
// check, variables, ranges, the CGI/SSI patterns and HTTP dates, with the
// invariants that keep clients inside the document roots.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/match.h"
#include "ostrel/engine/parse.h"
#include "ostrel/engine/path.h"
#include "ostrel/engine/static_files.h"

namespace {

const char* const ROOTS = "/srv/www,/download=/srv/dl,/x=/srv/x/";

void check(bool ok) {
  if (!ok) std::abort();
}

bool has_parent_component(const char* s) {
  const char* start = s;
  for (const char* p = s;; p++) {
    if (*p == '\0' || *p == '/' || *p == '\\') {
      if (p - start == 2 && start[0] == '.' && start[1] == '.') return true;
      if (*p == '\0') return false;
      start = p + 1;
    }
  }
}

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

bool ends_with(const char* s, const char* suffix) {
  size_t n = std::strlen(s);
  size_t m = std::strlen(suffix);
  return n >= m && std::strcmp(s + n - m, suffix) == 0;
}

int match(const char* pattern, const char* text) { return match_prefix(pattern, std::strlen(pattern), text); }

// The default patterns against a path, where the answer is known.
void check_patterns(const char* path) {
  bool cgi = ends_with(path, ".cgi") || ends_with(path, ".pl") || ends_with(path, ".php");
  int m = match("**.cgi$|**.pl$|**.php$", path);
  check(cgi ? m == static_cast<int>(std::strlen(path)) : m == -1);
  check(match("*", path) == static_cast<int>(std::strcspn(path, "/\\")));
  check(match("**", path) == static_cast<int>(std::strlen(path)));
}

// The matcher as first written: every run length of a wildcard is tried,
// longest first. The engine's matcher takes shortcuts and must agree.
int reference_alternative(const char* p, size_t n, const char* s) {
  size_t j = 0;
  for (size_t i = 0; i < n; i++, j++) {
    if (p[i] == '?' && s[j] != '\0') continue;
    if (p[i] == '$') return s[j] == '\0' ? static_cast<int>(j) : -1;
    if (p[i] == '*') {
      bool any = i + 1 < n && p[i + 1] == '*';
      i += any ? 2 : 1;
      size_t len = any ? std::strlen(s + j) : std::strcspn(s + j, "/\\");
      if (i == n) return static_cast<int>(j + len);
      for (;; len--) {
        int res = reference_alternative(p + i, n - i, s + j + len);
        if (res >= 0) return static_cast<int>(j + len) + res;
        if (len == 0) return -1;
      }
    }
    if (s[j] == '\0' || p[i] != s[j]) return -1;
  }
  return static_cast<int>(j);
}

int reference_match(const char* p, size_t n, const char* s) {
  int result = -1;
  for (;;) {
    const char* bar = static_cast<const char*>(std::memchr(p, '|', n));
    size_t len = bar != nullptr ? static_cast<size_t>(bar - p) : n;
    int res = reference_alternative(p, len, s);
    if (res > 0) return res;
    if (res == 0) result = 0;
    if (bar == nullptr) return result;
    n -= len + 1;
    p = bar + 1;
  }
}

// The first line of the input as a pattern, the rest as the text. The cost
// grows with the power of the number of "*", so patterns stay small.
void check_pattern_line(const char* data, size_t size) {
  const char* nl = static_cast<const char*>(std::memchr(data, '\n', size));
  if (nl == nullptr || nl - data > 64 || std::count(data, nl, '*') > 3) return;
  std::string pattern(data, nl);
  std::string text(nl + 1, data + std::min(size, static_cast<size_t>(nl - data) + 1 + 256));
  text = text.c_str();  // up to the first NUL
  int m = match_prefix(pattern.data(), pattern.size(), text.c_str());
  check(m >= -1 && m <= static_cast<int>(text.size()));
  check(m == reference_match(pattern.data(), pattern.size(), text.c_str()));
}

// The first eight bytes as a time within the years 0 to 9999: the engine's
// HTTP date must be the C library's, in the C locale.
void check_http_date(const uint8_t* data, size_t size) {
  if (size < 8) return;
  uint64_t raw = 0;
  std::memcpy(&raw, data, 8);
  const int64_t first = -62167219200;  // 0000-01-01
  const int64_t span = 253402300800 - first;
  int64_t t = first + static_cast<int64_t>(raw % static_cast<uint64_t>(span));
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char expected[64];
  char got[64];
  check(gmtime_r(&tt, &tm) != nullptr);
  // The C library writes years before 1000 with fewer digits.
  if (tm.tm_year + 1900 < 1000) return;
  check(std::strftime(expected, sizeof(expected), "%a, %d %b %Y %H:%M:%S GMT", &tm) > 0);
  gmt_time_string(got, sizeof(got), t);
  check(std::strcmp(expected, got) == 0);
}

void check_uri(char* uri) {
  char* query = std::strchr(uri, '?');
  if (query != nullptr) {
    *query++ = '\0';
    char value[64];
    int n = mg_find_var(query, std::strlen(query), "a", value, sizeof(value));
    check(n < static_cast<int>(sizeof(value)));
    check(n < 0 ? value[0] == '\0' : std::strlen(value) <= static_cast<size_t>(n));
  }
  size_t len = std::strlen(uri);
  check(url_decode(uri, len, uri, len + 1, 0) >= 0);
  remove_double_dots_and_double_slashes(uri);
  if (uri[0] != '/') return;
  check(!has_parent_component(uri));

  char path[PATH_BUF_SIZE];
  int mapped = map_uri_to_path(ROOTS, uri, path, sizeof(path));
  if (mapped != 0) {
    check(path[0] == '\0');
    return;
  }
  check(starts_with(path, "/srv/www") || starts_with(path, "/srv/dl") || starts_with(path, "/srv/x/"));
  check_patterns(path);
  check(!has_parent_component(path));
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) == 0 && native[0] != '\0') {
    check(std::strstr(native, "//") == nullptr);
    check(std::strchr(native, '\\') == nullptr);
    check(is_valid_utf8(native));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const char* text = reinterpret_cast<const char*>(data);
  check_pattern_line(text, size);
  check_http_date(data, size);
  int len = get_request_len(text, static_cast<int>(size));
  check(len <= static_cast<int>(size));

  std::string range(text, size);
  int64_t first = 0;
  int64_t last = 0;
  if (parse_range_header(range.c_str(), 1000, &first, &last) == 1) check(0 <= first && first <= last && last < 1000);

  if (len <= 0) return 0;
  std::vector<char> head(text, text + len);
  head.push_back('\0');
  head[static_cast<size_t>(len) - 1] = '\0';
  RequestInfo ri{};
  if (parse_http_request(head.data(), &ri) != 0) return 0;
  check(ri.num_headers >= 0 && ri.num_headers <= MAX_REQUEST_HEADERS);
  const char* begin = head.data();
  const char* end = head.data() + head.size();
  check(ri.uri >= begin && ri.uri < end);
  for (int i = 0; i < ri.num_headers; i++) {
    check(ri.http_headers[i].name >= begin && ri.http_headers[i].name < end);
    check(ri.http_headers[i].value >= begin && ri.http_headers[i].value < end);
    // A served head has token names and values without line ends or outer blanks.
    const char* name = ri.http_headers[i].name;
    const char* value = ri.http_headers[i].value;
    check(name[0] != '\0' && std::strpbrk(name, " \t:\r\n") == nullptr);
    size_t value_len = std::strlen(value);
    check(std::strpbrk(value, "\r\n") == nullptr);
    if (value_len > 0) check(std::strspn(value, " \t") == 0 && std::strchr(" \t", value[value_len - 1]) == nullptr);
  }
  check_uri(ri.uri);
  return 0;
}
