#include "ostrel/engine/ssi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ostrel/engine/dispatch.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/match.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/parse.h"
#include "ostrel/engine/path.h"
#include "ostrel/engine/spawn.h"

namespace {

enum {
  SSI_BUF_SIZE = 512,
  MAX_INCLUDE_LEVEL = 10,
};

const char SSI_START[] = "<!--#";
const size_t SSI_START_LEN = sizeof(SSI_START) - 1;

// The page goes out through one small buffer.
struct SsiOutput {
  Connection* conn;
  char buf[SSI_BUF_SIZE];
  int len;
  bool failed;  // the client stopped taking data
};

void flush(SsiOutput* out) {
  if (out->len > 0 && !out->failed) {
    int64_t sent = push(out->conn, out->buf, out->len);
    out->conn->num_bytes_sent += sent;
    out->failed = sent != out->len;
  }
  out->len = 0;
}

void emit(SsiOutput* out, const char* data, size_t len) {
  while (len > 0 && !out->failed) {
    size_t room = sizeof(out->buf) - static_cast<size_t>(out->len);
    size_t n = len < room ? len : room;
    std::memcpy(out->buf + out->len, data, n);
    out->len += static_cast<int>(n);
    data += n;
    len -= n;
    if (out->len == static_cast<int>(sizeof(out->buf))) flush(out);
  }
}

void send_ssi_file(SsiOutput* out, const char* path, FILE* fp, int include_level);

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Reads `NAME="VALUE"` at ARG into VALUE; returns 1 when it is there.
int read_quoted(const char* arg, const char* name, char* value, size_t value_len) {
  size_t name_len = std::strlen(name);
  if (std::strncmp(arg, name, name_len) != 0 || arg[name_len] != '"') return 0;
  const char* start = arg + name_len + 1;
  const char* end = std::strchr(start, '"');
  if (end == nullptr || end == start || static_cast<size_t>(end - start) >= value_len) return 0;
  std::memcpy(value, start, static_cast<size_t>(end - start));
  value[end - start] = '\0';
  return 1;
}

void do_ssi_include(SsiOutput* out, const char* ssi, const char* tag, int include_level) {
  Connection* conn = out->conn;
  const char* root = conn->ctx->config[DOCUMENT_ROOT];
  const char* arg = tag + std::strspn(tag, " ");
  char value[PATH_BUF_SIZE];
  char path[PATH_BUF_SIZE] = "";
  int resolved;
  if (read_quoted(arg, "virtual=", value, sizeof(value))) {
    // A URI: decoded and normalised like a request's, then mapped.
    char uri[PATH_BUF_SIZE + 1];
    std::snprintf(uri, sizeof(uri), "%s%s", is_separator(value[0]) ? "" : "/", value);
    resolved = decode_request_path(uri);
    if (resolved == 0) resolved = map_uri_to_path(root, uri, path, sizeof(path));
  } else if (read_quoted(arg, "file=", value, sizeof(value))) {
    resolved = std::snprintf(path, sizeof(path), "%s", value) < static_cast<int>(sizeof(path)) ? 0 : -1;
  } else if (read_quoted(arg, "", value, sizeof(value))) {
    const char* name = ssi;
    for (const char* p = ssi; *p != '\0'; p++) {
      if (is_separator(*p)) name = p + 1;
    }
    int n = std::snprintf(path, sizeof(path), "%.*s%s", static_cast<int>(name - ssi), ssi, value);
    resolved = n > 0 && n < static_cast<int>(sizeof(path)) ? 0 : -1;
  } else {
    log_error(conn, "Bad SSI #include: [%s]", tag);
    return;
  }

  // Whatever the directive names, only files of the document roots are read.
  FILE* fp = nullptr;
  errno = ENOENT;
  if (resolved == 0 && path[0] != '\0' && check_inside_roots(root, path) == 0) fp = mg_fopen(path, "rb");
  if (fp == nullptr) {
    log_error(conn, "Cannot open SSI #include: [%s]: fopen(%s): %s", tag, path, std::strerror(errno));
    return;
  }
  if (is_ssi_path(conn->ctx, path)) {
    send_ssi_file(out, path, fp, include_level + 1);
  } else {
    char buf[16384];
    size_t n;
    while (!out->failed && (n = std::fread(buf, 1, sizeof(buf), fp)) > 0) emit(out, buf, n);
  }
  std::fclose(fp);
}

void do_ssi_exec(SsiOutput* out, const char* ssi, const char* tag) {
  Connection* conn = out->conn;
  char cmd[SSI_BUF_SIZE];
  const char* arg = tag + std::strspn(tag, " ");
  if (!read_quoted(arg, "", cmd, sizeof(cmd))) {
    log_error(conn, "Bad SSI #exec: [%s]", tag);
    return;
  }
  // The command runs beside the page.
  char dir[PATH_BUF_SIZE];
  const char* name = ssi;
  for (const char* p = ssi; *p != '\0'; p++) {
    if (is_separator(*p)) name = p + 1;
  }
  std::snprintf(dir, sizeof(dir), "%.*s", name > ssi ? static_cast<int>(name - ssi) : 1, name > ssi ? ssi : ".");
  char native_dir[PATH_BUF_SIZE];
  if (to_native_path(dir, native_dir, sizeof(native_dir)) != 0) std::snprintf(native_dir, sizeof(native_dir), ".");

  char shell[] = SYS_SHELL;
  char dash_c[] = SYS_SHELL_COMMAND;
  char* argv[] = {shell, dash_c, cmd, nullptr};
  ChildProcess child;
  if (spawn_process(argv, sys_environment(), native_dir, 0, &child) != 0) {
    log_error(conn, "Cannot SSI #exec: [%s]: %s", cmd, std::strerror(errno));
    return;
  }
  char buf[4096];
  int n = 0;
  while (!out->failed && (n = read_from_child(conn->ctx, &child, buf, static_cast<int>(sizeof(buf)))) > 0) {
    emit(out, buf, static_cast<size_t>(n));
  }
  reap_child(conn->ctx, &child, n < 0 || out->failed);
}

// TAG holds a whole directive, "<!--#" to ">".
void do_ssi_directive(SsiOutput* out, const char* path, char* tag, int include_level) {
  char* command = tag + SSI_START_LEN;
  tag[std::strlen(tag) - 1] = '\0';  // the ">"
  if (std::strncmp(command, "include", 7) == 0) {
    do_ssi_include(out, path, command + 7, include_level);
  } else if (std::strncmp(command, "exec", 4) == 0) {
    do_ssi_exec(out, path, command + 4);
  } else {
    log_error(out->conn, "%s: unknown SSI command: \"%s\"", path, command);
  }
}

void send_ssi_file(SsiOutput* out, const char* path, FILE* fp, int include_level) {
  if (include_level > MAX_INCLUDE_LEVEL) {
    log_error(out->conn, "SSI #include level is too deep (%s)", path);
    return;
  }
  // A directive is collected in TAG from its "<" to its ">".
  char tag[SSI_BUF_SIZE];
  size_t len = 0;
  bool in_tag = false;
  int ch;
  while (!out->failed && (ch = std::fgetc(fp)) != EOF) {
    char c = static_cast<char>(ch);
    if (!in_tag) {
      if (c == '<') {
        in_tag = true;
        tag[0] = c;
        len = 1;
      } else {
        emit(out, &c, 1);
      }
      continue;
    }
    if (len < SSI_START_LEN && c != SSI_START[len]) {
      // Not a directive after all; a "<" may start the next one.
      emit(out, tag, len);
      in_tag = c == '<';
      if (in_tag) {
        tag[0] = c;
        len = 1;
      } else {
        emit(out, &c, 1);
      }
      continue;
    }
    tag[len++] = c;
    if (c == '>' && len > SSI_START_LEN) {
      tag[len] = '\0';
      in_tag = false;
      flush(out);
      do_ssi_directive(out, path, tag, include_level);
    } else if (len >= sizeof(tag) - 2) {
      log_error(out->conn, "%s: SSI tag is too large", path);
      emit(out, tag, len);
      in_tag = false;
    }
  }
  if (in_tag) emit(out, tag, len);
}

}  // namespace

void handle_ssi_file_request(Connection* conn, const char* path) {
  FILE* fp = mg_fopen(path, "rb");
  if (fp == nullptr) {
    send_http_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, std::strerror(errno));
    return;
  }
  conn->must_close = 1;
  conn->request_info.status_code = 200;
  mg_send_formatted(conn,
                    "HTTP/1.1 200 OK\r\n"
                    "Content-Type: text/html\r\n"
                    "Connection: %s\r\n\r\n",
                    suggest_connection_header(conn));
  if (std::strcmp(conn->request_info.request_method, "HEAD") != 0) {
    SsiOutput out;
    out.conn = conn;
    out.len = 0;
    out.failed = false;
    send_ssi_file(&out, path, fp, 0);
    flush(&out);
  }
  std::fclose(fp);
}
