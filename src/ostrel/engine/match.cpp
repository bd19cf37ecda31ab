#include "ostrel/engine/match.h"

#include <cstring>

#include "ostrel/engine/options.h"

namespace {

size_t run_without_separator(const char* s) { return std::strcspn(s, "/\\"); }

// Length of a run of plain characters ended by "$", or -1 when a wildcard
// comes first or no "$" follows.
int anchored_literal_len(const char* pattern, size_t pattern_len) {
  for (size_t k = 0; k < pattern_len; k++) {
    if (pattern[k] == '$') return static_cast<int>(k);
    if (pattern[k] == '*' || pattern[k] == '?') return -1;
  }
  return -1;
}

// One alternative: no "|" inside.
int match_alternative(const char* pattern, size_t pattern_len, const char* str) {
  size_t j = 0;
  for (size_t i = 0; i < pattern_len; i++, j++) {
    char p = pattern[i];
    if (p == '?' && str[j] != '\0') continue;
    if (p == '$') return str[j] == '\0' ? static_cast<int>(j) : -1;
    if (p == '*') {
      size_t len;
      if (i + 1 < pattern_len && pattern[i + 1] == '*') {
        i += 2;
        len = std::strlen(str + j);
      } else {
        i += 1;
        len = run_without_separator(str + j);
      }
      if (i == pattern_len) return static_cast<int>(j + len);
      // A literal tail anchored at the end ("**.cgi$") fits in one place only.
      int tail = anchored_literal_len(pattern + i, pattern_len - i);
      if (tail >= 0) {
        size_t rest = std::strlen(str + j);
        size_t t = static_cast<size_t>(tail);
        if (rest < t || rest - t > len || std::memcmp(str + j + rest - t, pattern + i, t) != 0) return -1;
        return static_cast<int>(j + rest);
      }
      for (;;) {
        int res = match_alternative(pattern + i, pattern_len - i, str + j + len);
        if (res >= 0) return static_cast<int>(j + len) + res;
        if (len == 0) return -1;
        len--;
      }
    }
    if (str[j] == '\0' || p != str[j]) return -1;
  }
  return static_cast<int>(j);
}

int matches_option(const char* pattern, const char* path) {
  return pattern != nullptr && match_prefix(pattern, std::strlen(pattern), path) > 0;
}

}  // namespace

int match_prefix(const char* pattern, size_t pattern_len, const char* str) {
  if (pattern_len == 0) return 0;
  int result = -1;
  for (;;) {
    const char* bar = static_cast<const char*>(std::memchr(pattern, '|', pattern_len));
    size_t len = bar != nullptr ? static_cast<size_t>(bar - pattern) : pattern_len;
    int res = match_alternative(pattern, len, str);
    if (res > 0) return res;
    if (res == 0) result = 0;
    if (bar == nullptr) return result;
    pattern_len -= len + 1;
    pattern = bar + 1;
  }
}

int is_cgi_path(const EngineContext* ctx, const char* path) { return matches_option(ctx->config[CGI_EXTENSIONS], path); }

int is_ssi_path(const EngineContext* ctx, const char* path) { return matches_option(ctx->config[SSI_EXTENSIONS], path); }
