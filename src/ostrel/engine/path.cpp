#include "ostrel/engine/path.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// True when a path component in S[from, end) equals "..".
bool has_parent_component(const char* s, size_t from, size_t end) {
  size_t start = from;
  for (size_t i = from; i <= end; i++) {
    if (i == end || is_separator(s[i])) {
      if (i - start == 2 && s[start] == '.' && s[start + 1] == '.') return true;
      start = i + 1;
    }
  }
  return false;
}

// True when a prefix of PREFIX_LEN bytes, followed in the URI by NEXT, covers
// whole path segments.
bool ends_segment(const char* prefix, size_t prefix_len, char next) {
  return next == '\0' || is_separator(next) || (prefix_len > 0 && is_separator(prefix[prefix_len - 1]));
}

// Any page can ask for such names: at most one report a second, the name cut,
// so that no one fills the standard error stream.
void report_suspicious_path(const char* native) {
  static std::atomic<int64_t> last_report{-1};
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t previous = last_report.load();
  if (previous == static_cast<int64_t>(now.tv_sec) ||
      !last_report.compare_exchange_strong(previous, static_cast<int64_t>(now.tv_sec)))
    return;
  std::fprintf(stderr, "Rejecting suspicious path: [%.200s]\n", native);
}

// The root directories of a "document_root" value in order: the default
// root, then the directory of each alias. Returns the rest of the list, or
// null at the end; LEN is 0 for an alias without a directory.
const char* next_root(const char* list, bool first, const char** dir, size_t* len) {
  if (list == nullptr || *list == '\0') return nullptr;
  const char* end = std::strchr(list, ',');
  size_t element_len = end ? static_cast<size_t>(end - list) : std::strlen(list);
  *dir = list;
  *len = element_len;
  if (!first) {
    const char* eq = static_cast<const char*>(std::memchr(list, '=', element_len));
    *dir = eq != nullptr ? eq + 1 : list + element_len;
    *len = element_len - static_cast<size_t>(*dir - list);
  }
  return end ? end + 1 : list + element_len;
}

// True when the absolute NATIVE path names no "." or ".." component: with no
// symbolic link on the way it is then its own resolved form.
bool is_plain_absolute(const char* native) {
  if (native[0] != '/') return false;
  for (const char* p = native; *p != '\0'; p++) {
    if (p[0] == '/' && p[1] == '.' && (p[2] == '/' || p[2] == '\0' || (p[2] == '.' && (p[3] == '/' || p[3] == '\0')))) {
      return false;
    }
  }
  return true;
}

// The native form of one root of the list (DIR, LEN bytes); false when it has none.
bool native_root_of(const char* dir, size_t len, char* native_root, size_t size) {
  char root[PATH_BUF_SIZE];
  if (len == 0 || len >= sizeof(root)) return false;
  std::memcpy(root, dir, len);
  root[len] = '\0';
  return to_native_path(root, native_root, size) == 0;
}

// True when PATH (PATH_LEN bytes) is FOLDER or lies below it.
bool is_within(const char* path, size_t path_len, const char* folder) {
  size_t folder_len = std::strlen(folder);
  if (folder_len == 1) return true;  // the folder is "/"
  return folder_len <= path_len && std::memcmp(path, folder, folder_len) == 0 &&
         (path[folder_len] == '\0' || path[folder_len] == '/');
}

// True when one of the roots, written without "." or "..", begins NATIVE.
bool is_under_a_plain_root(const char* document_root, const char* native) {
  size_t native_len = std::strlen(native);
  const char* dir;
  size_t len;
  bool first = true;
  for (const char* list = document_root; (list = next_root(list, first, &dir, &len)) != nullptr; first = false) {
    char native_root[PATH_BUF_SIZE];
    if (native_root_of(dir, len, native_root, sizeof(native_root)) && is_plain_absolute(native_root) &&
        is_within(native, native_len, native_root)) {
      return true;
    }
  }
  return false;
}

// The quick form of the roots check, for the common case: NATIVE opens
// without following any symbolic link, so its text is its resolved form, and
// so is the text of any root it begins with. False means "not known": the
// full check must decide. With FD the file stays open for reading.
bool is_plainly_inside_a_root(const char* document_root, const char* native, int* fd) {
  if (!is_plain_absolute(native) || !is_under_a_plain_root(document_root, native)) return false;
  int opened = sys_open_without_links(native, fd != nullptr);
  if (opened < 0) return false;
  if (fd != nullptr) {
    *fd = opened;
  } else {
    sys_close(opened);
  }
  return true;
}

// The full check: every symbolic link resolved, NATIVE and the roots alike.
int resolve_inside_roots(const char* document_root, const char* native) {
  char target[PATH_MAX];
  if (sys_realpath(native, target, sizeof(target)) == nullptr) return -1;
  size_t target_len = std::strlen(target);

  const char* dir;
  size_t len;
  bool first = true;
  for (const char* list = document_root; (list = next_root(list, first, &dir, &len)) != nullptr; first = false) {
    char native_root[PATH_BUF_SIZE];
    char real_root[PATH_MAX];
    if (native_root_of(dir, len, native_root, sizeof(native_root)) &&
        sys_realpath(native_root, real_root, sizeof(real_root)) != nullptr &&
        is_within(target, target_len, real_root)) {
      return 0;
    }
  }
  errno = EACCES;
  return -1;
}

}  // namespace

int map_uri_to_path(const char* document_root, const char* uri, char* path, size_t path_len) {
  if (path_len == 0) return -2;
  path[0] = '\0';
  if (document_root == nullptr || uri == nullptr) return -1;

  const char* comma = std::strchr(document_root, ',');
  const char* root = document_root;
  size_t root_len = comma ? static_cast<size_t>(comma - document_root) : std::strlen(document_root);
  const char* rest = uri;

  // Aliases: PREFIX=DIRECTORY; the prefix must end where a path segment of
  // the URI ends ("/download" never takes "/downloads").
  const char* list = comma ? comma + 1 : nullptr;
  while (list != nullptr && *list != '\0') {
    const char* end = std::strchr(list, ',');
    size_t len = end ? static_cast<size_t>(end - list) : std::strlen(list);
    const char* eq = static_cast<const char*>(std::memchr(list, '=', len));
    if (eq != nullptr) {
      size_t prefix_len = static_cast<size_t>(eq - list);
      if (std::strncmp(uri, list, prefix_len) == 0 && ends_segment(list, prefix_len, uri[prefix_len])) {
        root = eq + 1;
        root_len = len - prefix_len - 1;
        rest = uri + prefix_len;
        break;
      }
    }
    list = end ? end + 1 : nullptr;
  }

  // An empty root would make the URI an absolute path of the machine.
  if (root_len == 0) return -1;
  size_t rest_len = std::strlen(rest);
  if (root_len + rest_len + 1 > path_len) return -2;
  std::memcpy(path, root, root_len);
  std::memcpy(path + root_len, rest, rest_len + 1);

  // Normalisation keeps ".." out of the URI, but where the root and the URI
  // meet a new component can form (alias "/dl=/srv/" with URI "/dl..").
  size_t from = root_len;
  if (rest_len > 0 && !is_separator(rest[0]) && !is_separator(root[root_len - 1])) {
    while (from > 0 && !is_separator(path[from - 1])) from--;
  }
  if (has_parent_component(path, from, root_len + rest_len)) {
    path[0] = '\0';
    return -1;
  }

  // Native form: "/" separators, runs collapsed.
  char* out = path;
  for (const char* p = path; *p != '\0'; p++) {
    char c = is_separator(*p) ? '/' : *p;
    if (c == '/' && out > path && out[-1] == '/') continue;
    *out++ = c;
  }
  *out = '\0';
  return 0;
}

int is_valid_utf8(const char* s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  while (*p != 0) {
    unsigned c = *p;
    int extra;
    unsigned min;
    if (c < 0x80) {
      p++;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      min = 0x80;
      c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      min = 0x800;
      c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      min = 0x10000;
      c &= 0x07;
    } else {
      return 0;
    }
    p++;
    for (int i = 0; i < extra; i++, p++) {
      if ((*p & 0xC0) != 0x80) return 0;
      c = (c << 6) | (*p & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  }
  return 1;
}

int to_native_path(const char* path, char* native, size_t native_len) {
  if (native_len == 0) return -1;
  size_t n = 0;
  for (const char* p = path; *p != '\0'; p++) {
    char c = is_separator(*p) ? '/' : *p;
    if (c == '/' && n > 0 && native[n - 1] == '/') continue;
    if (n + 1 >= native_len) {
      native[0] = '\0';
      return -1;
    }
    native[n++] = c;
  }
  while (n > 1 && native[n - 1] == '/') n--;
  native[n] = '\0';

  if (n > 0) {
    unsigned char last = static_cast<unsigned char>(native[n - 1]);
    if (last == ' ' || (last == '.' && n > 1) || last == '+' || last >= 128) {
      report_suspicious_path(native);
      native[0] = '\0';
      return -1;
    }
  }
  if (!is_valid_utf8(native)) {
    native[0] = '\0';
    return -1;
  }
  return 0;
}

int mg_stat(const char* path, FileStatus* st) {
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') return -1;
  return sys_stat(native, st);
}

FILE* mg_fopen(const char* path, const char* mode) {
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') {
    errno = ENOENT;
    return nullptr;
  }
  return sys_fopen(native, mode);
}

int mg_open(const char* path, int flags) {
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  return sys_open(native, flags, 0);
}

SysDir* mg_opendir(const char* path) {
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') {
    errno = ENOENT;
    return nullptr;
  }
  return sys_opendir(native);
}

int mg_remove(const char* path) {
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  return sys_remove(native);
}

int mg_mkdir(const char* path, int mode) {
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  return sys_mkdir(native, mode);
}

int check_inside_roots(const char* document_root, const char* path) {
  return check_inside_roots_and_open(document_root, path, nullptr);
}

int check_inside_roots_and_open(const char* document_root, const char* path, int* fd) {
  if (fd != nullptr) *fd = -1;
  char native[PATH_BUF_SIZE];
  if (to_native_path(path, native, sizeof(native)) != 0 || native[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  if (is_plainly_inside_a_root(document_root, native, fd)) return 0;
  return resolve_inside_roots(document_root, native);
}
