#include "ostrel/engine/listing.h"

#include <inttypes.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ostrel/engine/dispatch.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/options.h"

namespace {

struct DirEntry {
  char* name;
  FileStatus st;
};

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Text for HTML: names and URIs may hold markup characters.
void html_escape(const char* src, char* dst, size_t dst_len) {
  size_t n = 0;
  for (; *src != '\0'; src++) {
    const char* rep = nullptr;
    switch (*src) {
      case '&': rep = "&amp;"; break;
      case '<': rep = "&lt;"; break;
      case '>': rep = "&gt;"; break;
      case '"': rep = "&quot;"; break;
      default: break;
    }
    size_t rep_len = rep != nullptr ? std::strlen(rep) : 1;
    if (n + rep_len >= dst_len) break;
    if (rep != nullptr) {
      std::memcpy(dst + n, rep, rep_len);
    } else {
      dst[n] = *src;
    }
    n += rep_len;
  }
  if (dst_len > 0) dst[n] = '\0';
}

void size_text(const FileStatus* st, char* buf, size_t len) {
  const int64_t k = 1024;
  if (st->is_directory) {
    std::snprintf(buf, len, "%s", "[DIRECTORY]");
  } else if (st->size < k) {
    std::snprintf(buf, len, "%" PRId64, st->size);
  } else if (st->size < k * k) {
    std::snprintf(buf, len, "%.1fk", static_cast<double>(st->size) / k);
  } else if (st->size < k * k * k) {
    std::snprintf(buf, len, "%.1fM", static_cast<double>(st->size) / (k * k));
  } else {
    std::snprintf(buf, len, "%.1fG", static_cast<double>(st->size) / (k * k * k));
  }
}

int compare_entries(const DirEntry& a, const DirEntry& b, char column) {
  if (a.st.is_directory != b.st.is_directory) return a.st.is_directory ? -1 : 1;
  if (column == 'd') return a.st.mtime < b.st.mtime ? -1 : a.st.mtime > b.st.mtime ? 1 : 0;
  if (column == 's') return a.st.size < b.st.size ? -1 : a.st.size > b.st.size ? 1 : 0;
  return std::strcmp(a.name, b.name);
}

// Writes a piece of the page and counts it.
void send_page(Connection* conn, const char* text, size_t len) {
  conn->num_bytes_sent += push(conn, text, static_cast<int64_t>(len));
}

void free_entries(DirEntry* entries, size_t n) {
  for (size_t i = 0; i < n; i++) std::free(entries[i].name);
  std::free(entries);
}

}  // namespace

void url_encode(const char* src, char* dst, size_t dst_len, int keep_slash) {
  static const char* const dont_escape = "._-$,;~()";
  static const char* const hex = "0123456789abcdef";
  if (dst_len == 0) return;
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != 0; p++) {
    bool keep = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
                std::strchr(dont_escape, *p) != nullptr || (keep_slash && *p == '/');
    if (keep) {
      if (n + 1 >= dst_len) break;
      dst[n++] = static_cast<char>(*p);
    } else {
      if (n + 3 >= dst_len) break;
      dst[n++] = '%';
      dst[n++] = hex[*p >> 4];
      dst[n++] = hex[*p & 0xf];
    }
  }
  dst[n] = '\0';
}

int substitute_index_file(Connection* conn, char* path, size_t path_len, FileStatus* st, int* fd) {
  size_t n = std::strlen(path);
  while (n > 0 && is_separator(path[n - 1])) n--;
  if (n + 2 > path_len) return 0;
  path[n] = '/';

  ListElement elem;
  const char* list = conn->ctx->config[INDEX_FILES];
  while ((list = next_option_element(list, &elem)) != nullptr) {
    // Index names hold no "="; take the element whole.
    size_t name_len = elem.eq_value != nullptr ? static_cast<size_t>(elem.eq_value + elem.eq_len - elem.ptr) : elem.len;
    if (name_len == 0 || n + name_len + 2 > path_len) continue;
    std::memcpy(path + n + 1, elem.ptr, name_len);
    path[n + 1 + name_len] = '\0';
    FileStatus index_st;
    // An index file that links out of every root is as good as missing.
    if (mg_stat(path, &index_st) == 0 && !index_st.is_directory &&
        check_inside_roots_and_open(conn->ctx->config[DOCUMENT_ROOT], path, fd) == 0) {
      *st = index_st;
      return 1;
    }
  }
  path[n] = '\0';
  return 0;
}

void handle_directory_request(Connection* conn, const char* dir) {
  SysDir* dirp = mg_opendir(dir);
  if (dirp == nullptr) {
    send_http_error(conn, 500, "Cannot open directory", "Error: opendir(%s): %s", dir, std::strerror(errno));
    return;
  }

  size_t capacity = 128;
  size_t count = 0;
  DirEntry* entries = static_cast<DirEntry*>(std::malloc(capacity * sizeof(DirEntry)));
  bool out_of_memory = entries == nullptr;
  const char* name;
  while (!out_of_memory && (name = sys_readdir(dirp)) != nullptr) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || std::strcmp(name, ".htpasswd") == 0) {
      continue;
    }
    if (count == capacity) {
      DirEntry* grown = static_cast<DirEntry*>(std::realloc(entries, capacity * 2 * sizeof(DirEntry)));
      if (grown == nullptr) {
        out_of_memory = true;
        break;
      }
      entries = grown;
      capacity *= 2;
    }
    DirEntry* e = &entries[count];
    e->name = strdup(name);
    if (e->name == nullptr) {
      out_of_memory = true;
      break;
    }
    char path[PATH_BUF_SIZE];
    int n = std::snprintf(path, sizeof(path), "%s/%s", dir, name);
    if (n < 0 || n >= static_cast<int>(sizeof(path)) || mg_stat(path, &e->st) != 0) {
      e->st = FileStatus{};
    }
    count++;
  }
  sys_closedir(dirp);
  if (out_of_memory) {
    free_entries(entries, count);
    send_http_error(conn, 500, "Cannot open directory", "Error: opendir(%s): %s", dir, std::strerror(ENOMEM));
    return;
  }

  conn->must_close = 1;
  conn->request_info.status_code = 200;
  // The extra header lines can be longer than a formatted send takes.
  char head[128 + MAX_EXTRA_HEADERS_SIZE];
  int head_len = std::snprintf(head, sizeof(head), "%s%s\r\n",
                               "HTTP/1.1 200 OK\r\n"
                               "Connection: close\r\n"
                               "Content-Type: text/html; charset=utf-8\r\n",
                               conn->ctx->extra_headers != nullptr ? conn->ctx->extra_headers : "");
  push(conn, head, head_len);

  if (std::strcmp(conn->request_info.request_method, "HEAD") == 0) {
    free_entries(entries, count);
    return;
  }

  const char* query = conn->request_info.query_string;
  char column = query != nullptr && query[0] != '\0' ? query[0] : 'n';
  bool descending = query != nullptr && query[0] != '\0' && query[1] == 'd';
  char toggle = descending ? 'a' : 'd';

  const char* uri = conn->request_info.uri;
  char uri_html[PATH_BUF_SIZE * 6];
  char uri_href[PATH_BUF_SIZE * 3];
  html_escape(uri, uri_html, sizeof(uri_html));
  url_encode(uri, uri_href, sizeof(uri_href), 1);

  static const size_t kPageBuf = sizeof(uri_html) * 2 + 1024;
  char* page = static_cast<char*>(std::malloc(kPageBuf));
  if (page == nullptr) {
    free_entries(entries, count);
    return;
  }
  int n = std::snprintf(page, kPageBuf,
                        "<html><head><title>Index of %s</title>"
                        "<style>th {text-align: left;}</style></head>"
                        "<body><h1>Index of %s</h1><pre><table cellpadding=\"0\">"
                        "<tr><th><a href=\"?n%c\">Name</a></th>"
                        "<th><a href=\"?d%c\">Modified</a></th>"
                        "<th><a href=\"?s%c\">Size</a></th></tr>"
                        "<tr><td colspan=\"3\"><hr></td></tr>",
                        uri_html, uri_html, toggle, toggle, toggle);
  send_page(conn, page, static_cast<size_t>(n));
  n = std::snprintf(page, kPageBuf, "<tr><td><a href=\"%s%s\">%s</a></td><td>&nbsp;%s</td><td>&nbsp;&nbsp;%s</td></tr>\n",
                    uri_href, "..", "Parent directory", "-", "-");
  send_page(conn, page, static_cast<size_t>(n));

  std::sort(entries, entries + count, [column, descending](const DirEntry& a, const DirEntry& b) {
    int r = compare_entries(a, b, column);
    if (descending && a.st.is_directory == b.st.is_directory) r = -r;
    return r < 0;
  });

  for (size_t i = 0; i < count; i++) {
    const DirEntry* e = &entries[i];
    char href[PATH_BUF_SIZE * 3];
    char name_html[PATH_BUF_SIZE * 6];
    char mod[64];
    char size[64];
    url_encode(e->name, href, sizeof(href), 0);
    html_escape(e->name, name_html, sizeof(name_html));
    time_t mtime = static_cast<time_t>(e->st.mtime);
    struct tm tm;
    if (localtime_r(&mtime, &tm) == nullptr || std::strftime(mod, sizeof(mod), "%d-%b-%Y %H:%M", &tm) == 0) {
      mod[0] = '\0';
    }
    size_text(&e->st, size, sizeof(size));
    const char* slash = e->st.is_directory ? "/" : "";
    n = std::snprintf(page, kPageBuf,
                      "<tr><td><a href=\"%s%s%s\">%s%s</a></td><td>&nbsp;%s</td><td>&nbsp;&nbsp;%s</td></tr>\n",
                      uri_href, href, slash, name_html, slash, mod, size);
    if (n > 0) send_page(conn, page, std::min(static_cast<size_t>(n), kPageBuf - 1));
  }
  static const char tail[] = "</table></body></html>";
  send_page(conn, tail, sizeof(tail) - 1);
  std::free(page);
  free_entries(entries, count);
}
