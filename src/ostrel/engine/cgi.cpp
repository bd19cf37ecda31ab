#include "ostrel/engine/cgi.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ostrel/engine/address.h"
#include "ostrel/engine/body.h"
#include "ostrel/engine/dispatch.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/parse.h"
#include "ostrel/engine/path.h"
#include "ostrel/engine/spawn.h"

namespace {

enum {
  MAX_CGI_ENV_VARS = 256,
  MAX_INTERPRETER_ARGS = 16,
  CGI_HEADER_BUF_SIZE = 512,
};

struct CgiEnv {
  char** vars;
  int count;
};

void addenv(CgiEnv* env, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void addenv(CgiEnv* env, const char* fmt, ...) {
  if (env->vars == nullptr || env->count >= MAX_CGI_ENV_VARS) return;
  va_list ap;
  va_start(ap, fmt);
  char* var = nullptr;
  if (vasprintf(&var, fmt, ap) >= 0) env->vars[env->count++] = var;
  va_end(ap);
}

void add_engine_env(CgiEnv* env, const char* name) {
  const char* value = std::getenv(name);
  if (value != nullptr) addenv(env, "%s=%s", name, value);
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

const char* base_name(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; p++) {
    if (is_separator(*p)) name = p + 1;
  }
  return name;
}

// The interpreter line of the script: "#!" and the command behind it.
void read_interpreter_line(const char* path, char* out, size_t out_len) {
  out[0] = '\0';
  FILE* fp = mg_fopen(path, "r");
  if (fp == nullptr) return;
  char line[1024];
  if (std::fgets(line, sizeof(line), fp) != nullptr && line[0] == '#' && line[1] == '!') {
    size_t n = std::strlen(line);
    while (n > 2 && std::isspace(static_cast<unsigned char>(line[n - 1]))) n--;
    line[n] = '\0';
    std::snprintf(out, out_len, "%s", line + 2);
  }
  std::fclose(fp);
}

// A program named without a directory is looked up in the engine's PATH.
void resolve_program(const char* name, char* out, size_t out_len) {
  std::snprintf(out, out_len, "%s", name);
  const char* search = std::getenv("PATH");
  if (std::strchr(name, '/') != nullptr || search == nullptr) return;
  const char separators[] = {sys_path_list_separator(), '\0'};
  while (*search != '\0') {
    size_t len = std::strcspn(search, separators);
    char candidate[PATH_BUF_SIZE];
    int n = std::snprintf(candidate, sizeof(candidate), "%.*s/%s", static_cast<int>(len), search, name);
    if (len > 0 && n > 0 && n < static_cast<int>(sizeof(candidate)) && sys_is_program(candidate)) {
      std::snprintf(out, out_len, "%s", candidate);
      return;
    }
    search += len;
    if (*search == separators[0]) search++;
  }
}

struct CgiOutput {
  EngineContext* ctx;
  ChildProcess* child;
};

int64_t write_to_program(void* arg, const char* data, int len) {
  CgiOutput* out = static_cast<CgiOutput*>(arg);
  return write_to_child(out->ctx, out->child, data, len);
}

// "NNN reason" of a "Status" header; -1 when it is not a status.
int parse_status(const char* value, const char** reason) {
  const char* s = value;
  while (*s == ' ') s++;
  int status = 0;
  int digits = 0;
  for (; *s >= '0' && *s <= '9'; s++, digits++) status = status * 10 + (*s - '0');
  if (digits != 3 || status < 100 || (*s != '\0' && *s != ' ')) return -1;
  while (*s == ' ') s++;
  *reason = s;
  return status;
}

// Sends the reply head from the program's header block HEAD (NUL-terminated
// in place of its last line feed). Returns 0, or -1 when the block is unusable.
int send_cgi_head(Connection* conn, char* head) {
  RequestInfo headers;
  std::memset(&headers, 0, sizeof(headers));
  char* p = head;
  if (parse_http_headers(&p, &headers) != PARSE_OK) return -1;

  int status = 200;
  const char* reason = "OK";
  const char* status_header = nullptr;
  const char* location = nullptr;
  for (int i = 0; i < headers.num_headers; i++) {
    if (status_header == nullptr && strcasecmp(headers.http_headers[i].name, "Status") == 0) {
      status_header = headers.http_headers[i].value;
    } else if (location == nullptr && strcasecmp(headers.http_headers[i].name, "Location") == 0) {
      location = headers.http_headers[i].value;
    }
  }
  if (status_header != nullptr) {
    status = parse_status(status_header, &reason);
    if (status < 0) return -1;
  } else if (location != nullptr) {
    status = 302;
    reason = "Found";
  }

  // Each header line of the program grows by at most ": " and "\r"; the
  // reason text is part of the block too.
  char out[CGI_HEADER_BUF_SIZE * 4];
  int len = std::snprintf(out, sizeof(out), "HTTP/1.1 %d %s\r\n", status, reason);
  for (int i = 0; i < headers.num_headers && len > 0 && len < static_cast<int>(sizeof(out)); i++) {
    len += std::snprintf(out + len, sizeof(out) - static_cast<size_t>(len), "%s: %s\r\n",
                         headers.http_headers[i].name, headers.http_headers[i].value);
  }
  if (len > 0 && len < static_cast<int>(sizeof(out))) {
    len += std::snprintf(out + len, sizeof(out) - static_cast<size_t>(len), "\r\n");
  }
  if (len <= 0 || len >= static_cast<int>(sizeof(out))) return -1;
  conn->request_info.status_code = status;
  push(conn, out, len);
  return 0;
}

}  // namespace

char** prepare_cgi_environment(Connection* conn, const char* script) {
  EngineContext* ctx = conn->ctx;
  RequestInfo* ri = &conn->request_info;
  CgiEnv env = {static_cast<char**>(std::calloc(MAX_CGI_ENV_VARS + 1, sizeof(char*))), 0};
  if (env.vars == nullptr) return nullptr;

  const char* root = ctx->config[DOCUMENT_ROOT] != nullptr ? ctx->config[DOCUMENT_ROOT] : "";
  const char* domain = ctx->config[AUTHENTICATION_DOMAIN] != nullptr ? ctx->config[AUTHENTICATION_DOMAIN] : "";
  char addr[INET6_ADDRSTRLEN];
  address_to_text(&conn->client.remote_addr, addr, sizeof(addr));
  size_t uri_len = std::strlen(ri->uri);
  // An index program: the URI names its directory.
  const char* index_name = uri_len > 0 && is_separator(ri->uri[uri_len - 1]) ? base_name(script) : "";

  addenv(&env, "SERVER_NAME=%s", domain);
  addenv(&env, "SERVER_ROOT=%s", root);
  addenv(&env, "DOCUMENT_ROOT=%s", root);
  addenv(&env, "GATEWAY_INTERFACE=CGI/1.1");
  addenv(&env, "SERVER_PROTOCOL=HTTP/1.1");
  addenv(&env, "REDIRECT_STATUS=200");
  addenv(&env, "SERVER_PORT=%d", address_port(&conn->client.local_addr));
  addenv(&env, "REQUEST_METHOD=%s", ri->request_method);
  addenv(&env, "REMOTE_ADDR=%s", addr);
  addenv(&env, "REMOTE_PORT=%d", ri->remote_port);
  addenv(&env, "REQUEST_URI=%s", ri->uri);
  addenv(&env, "SCRIPT_NAME=%.*s%s", static_cast<int>(uri_len), ri->uri, index_name);
  addenv(&env, "SCRIPT_FILENAME=%s", script);
  addenv(&env, "PATH_TRANSLATED=%s", script);
  addenv(&env, "HTTPS=%s", conn->client.is_ssl ? "on" : "off");

  const char* s;
  if ((s = mg_find_header(conn, "Content-Type")) != nullptr) addenv(&env, "CONTENT_TYPE=%s", s);
  if (ri->query_string != nullptr) addenv(&env, "QUERY_STRING=%s", ri->query_string);
  if ((s = mg_find_header(conn, "Content-Length")) != nullptr) addenv(&env, "CONTENT_LENGTH=%s", s);
  add_engine_env(&env, "PATH");
  if (conn->path_info != nullptr) addenv(&env, "PATH_INFO=%s", conn->path_info);
  add_engine_env(&env, "COMSPEC");
  add_engine_env(&env, "SYSTEMROOT");
  add_engine_env(&env, "SystemDrive");
  add_engine_env(&env, "PERLLIB");
  if (ri->remote_user != nullptr) {
    addenv(&env, "REMOTE_USER=%s", ri->remote_user);
    addenv(&env, "AUTH_TYPE=Digest");
  }

  for (int i = 0; i < ri->num_headers; i++) {
    const char* name = ri->http_headers[i].name;
    // "Proxy" would become HTTP_PROXY, which programs take for their own
    // outgoing proxy; "=" cannot be part of a variable name.
    if (strcasecmp(name, "Proxy") == 0 || std::strchr(name, '=') != nullptr) continue;
    char upper[256];
    size_t n = 0;
    for (; name[n] != '\0' && n + 1 < sizeof(upper); n++) {
      char c = static_cast<char>(std::toupper(static_cast<unsigned char>(name[n])));
      upper[n] = c == '-' ? '_' : c;
    }
    upper[n] = '\0';
    addenv(&env, "HTTP_%s=%s", upper, ri->http_headers[i].value);
  }

  ListElement elem;
  const char* list = ctx->config[CGI_ENVIRONMENT];
  while ((list = next_option_element(list, &elem)) != nullptr) {
    if (elem.eq_value == nullptr) continue;
    addenv(&env, "%.*s=%.*s", static_cast<int>(elem.len), elem.ptr, static_cast<int>(elem.eq_len), elem.eq_value);
  }
  return env.vars;
}

void free_cgi_environment(char** env) {
  if (env == nullptr) return;
  for (char** v = env; *v != nullptr; v++) std::free(*v);
  std::free(env);
}

void handle_cgi_request(Connection* conn, const char* path) {
  EngineContext* ctx = conn->ctx;
  // The reply has no length: the end of the connection ends it.
  conn->must_close = 1;

  // The program runs in its own directory, named absolutely.
  const char* prog = base_name(path);
  char dir[PATH_BUF_SIZE];
  int dir_len = static_cast<int>(prog - path);
  if (dir_len == 0) {
    std::snprintf(dir, sizeof(dir), "%s", ".");
  } else {
    std::snprintf(dir, sizeof(dir), "%.*s", dir_len > 1 ? dir_len - 1 : 1, path);
  }
  char native_dir[PATH_BUF_SIZE];
  char abs_dir[PATH_MAX];
  char script[PATH_BUF_SIZE + PATH_MAX];
  bool located = to_native_path(dir, native_dir, sizeof(native_dir)) == 0 &&
                 sys_realpath(native_dir, abs_dir, sizeof(abs_dir)) != nullptr;
  std::snprintf(script, sizeof(script), "%s/%s", located ? abs_dir : dir, prog);

  char interpreter[1024];
  const char* option = ctx->config[CGI_INTERPRETER];
  if (option != nullptr) {
    std::snprintf(interpreter, sizeof(interpreter), "%s", option);
  } else {
    read_interpreter_line(path, interpreter, sizeof(interpreter));
  }
  char cmdline[sizeof(interpreter) + sizeof(script) + 2];
  std::snprintf(cmdline, sizeof(cmdline), "%s%s%s", interpreter, interpreter[0] != '\0' ? " " : "", script);

  char* argv[MAX_INTERPRETER_ARGS + 2];
  int argc = 0;
  char program[PATH_BUF_SIZE];
  for (char* save = nullptr, *tok = strtok_r(interpreter, " \t", &save);
       tok != nullptr && argc < MAX_INTERPRETER_ARGS; tok = strtok_r(nullptr, " \t", &save)) {
    argv[argc++] = tok;
  }
  if (argc > 0) {
    resolve_program(argv[0], program, sizeof(program));
    argv[0] = program;
  }
  argv[argc++] = script;
  argv[argc] = nullptr;

  char** envp = prepare_cgi_environment(conn, script);
  if (envp == nullptr) {
    send_http_error(conn, 500, "Internal Server Error", "Cannot create CGI pipe: %s", std::strerror(ENOMEM));
    return;
  }
  ChildProcess child;
  errno = located ? 0 : ENOENT;
  int spawned = located ? spawn_process(argv, envp, abs_dir, 1, &child) : -2;
  int err = errno;
  free_cgi_environment(envp);
  if (spawned == -1) {
    send_http_error(conn, 500, "Internal Server Error", "Cannot create CGI pipe: %s", std::strerror(err));
    return;
  }
  if (spawned != 0) {
    log_error(conn, "%s: CreateProcess(%s): %d", "spawn_process", cmdline, err);
    send_http_error(conn, 500, "Internal Server Error", "Cannot start CGI program [%s]: %s", cmdline,
                    std::strerror(err));
    return;
  }

  CgiOutput output = {ctx, &child};
  if (std::strcmp(conn->request_info.request_method, "POST") == 0 &&
      !forward_body_data(conn, write_to_program, &output)) {
    reap_child(ctx, &child, 1);
    return;
  }
  close_child_input(&child);

  // The header block, within one small buffer.
  char buf[CGI_HEADER_BUF_SIZE];
  int data_len = 0;
  int head_len = 0;
  int n = 0;
  while (head_len == 0 && data_len < static_cast<int>(sizeof(buf)) &&
         (n = read_from_child(ctx, &child, buf + data_len, static_cast<int>(sizeof(buf)) - data_len)) > 0) {
    data_len += n;
    head_len = get_request_len(buf, data_len);
  }
  if (n < 0) log_error(conn, "%s: %s: no output for %d ms, stopped", "handle_cgi_request", cmdline, cgi_timeout_ms());
  char head[CGI_HEADER_BUF_SIZE + 1];
  if (head_len > 0) {
    std::memcpy(head, buf, static_cast<size_t>(head_len));
    head[head_len - 1] = '\0';
  }
  if (head_len <= 0 || send_cgi_head(conn, head) != 0) {
    reap_child(ctx, &child, 1);
    send_http_error(conn, 500, "Internal Server Error", "CGI program sent malformed HTTP headers: [%.*s]", data_len,
                    buf);
    return;
  }

  set_corked(conn, 1);
  bool client_ok = true;
  if (data_len > head_len) {
    int64_t sent = push(conn, buf + head_len, data_len - head_len);
    conn->num_bytes_sent += sent;
    client_ok = sent == data_len - head_len;
  }
  char out[16384];
  while (client_ok && (n = read_from_child(ctx, &child, out, static_cast<int>(sizeof(out)))) > 0) {
    int64_t sent = push(conn, out, n);
    conn->num_bytes_sent += sent;
    client_ok = sent == n;
  }
  set_corked(conn, 0);
  if (n < 0) log_error(conn, "%s: %s: no output for %d ms, stopped", "handle_cgi_request", cmdline, cgi_timeout_ms());
  reap_child(ctx, &child, n < 0 || !client_ok);
}
