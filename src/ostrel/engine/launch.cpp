// Start and stop of an engine, and its listening sockets.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ostrel/engine/acl.h"
#include "ostrel/engine/address.h"
#include "ostrel/engine/engine.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/path.h"
#include "ostrel/engine/ssl.h"
#include "ostrel/engine/workers.h"

namespace {

const char* const PORT_SPEC = "[IP_ADDRESS:]PORT[s|p]";

// Any address will do to have the access list read once, at start.
SocketAddress loopback_address() {
  SocketAddress a{};
  a.sin.sin_family = AF_INET;
  a.sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}
const SocketAddress kLoopback = loopback_address();

void close_all_listening_sockets(EngineContext* ctx) {
  while (ctx->listening_sockets != nullptr) {
    SocketRecord* sp = ctx->listening_sockets;
    ctx->listening_sockets = sp->next;
    sys_close_socket(sp->sock);
    delete sp;
  }
}

int parse_port_spec(const char* element, SocketRecord* so) {
  return parse_listener_spec(element, &so->local_addr, &so->is_ssl, &so->is_proxy);
}

// The socket of one listener, bound and listening; -1 with errno set. An
// IPv6 listener takes IPv6 clients only: IPv4 ones come to the IPv4
// listeners, whose addresses the access list names.
int open_listener(SocketRecord* so) { return sys_open_listener(&so->local_addr); }

int set_ports_option(EngineContext* ctx) {
  const char* list = ctx->config[LISTENING_PORTS];
  while (list != nullptr && *list != '\0') {
    const char* comma = std::strchr(list, ',');
    int len = comma ? static_cast<int>(comma - list) : static_cast<int>(std::strlen(list));
    const char* element = list;
    list = comma ? comma + 1 : nullptr;

    char spec[64];
    SocketRecord so;
    std::memset(&so, 0, sizeof(so));
    so.sock = -1;
    bool parsed = len < static_cast<int>(sizeof(spec));
    if (parsed) {
      std::memcpy(spec, element, static_cast<size_t>(len));
      spec[len] = '\0';
      parsed = parse_port_spec(spec, &so) == 0;
    }
    if (!parsed) {
      log_engine_error(ctx, "%s: %.*s: invalid port spec. Expecting list of: %s", "set_ports_option", len, element,
                       PORT_SPEC);
      close_all_listening_sockets(ctx);
      return -1;
    }
    if (so.is_ssl && ctx->ssl_ctx == nullptr) {
      log_engine_error(ctx, "Cannot add SSL socket, is -ssl_certificate option set?");
      close_all_listening_sockets(ctx);
      return -1;
    }

    so.sock = open_listener(&so);
    if (so.sock < 0) {
      int err = errno;
      log_engine_errno(ctx, err, "%s: cannot bind to %.*s: %s", "set_ports_option", len, element, sys_strerror(err));
      close_all_listening_sockets(ctx);
      return -1;
    }
    // Accepted sockets inherit these; serving then needs no calls for them.
    so.inherited_read_timeout_ms = prepare_listening_socket(so.sock);
    SocketRecord* record = new (std::nothrow) SocketRecord(so);
    if (record == nullptr) {
      sys_close_socket(so.sock);
      log_engine_error(ctx, "%s: %s", "set_ports_option", std::strerror(ENOMEM));
      close_all_listening_sockets(ctx);
      return -1;
    }
    record->next = ctx->listening_sockets;
    ctx->listening_sockets = record;
  }
  return 0;
}

// Options whose values the engine reads as numbers must be numbers.
int check_numeric_options(EngineContext* ctx) {
  int64_t size = option_as_int(ctx, MAX_REQUEST_SIZE, -1);
  if (size < 1 || size > (1 << 30)) {
    log_engine_error(ctx, "%s: invalid value: %s", config_options[MAX_REQUEST_SIZE].long_name,
                     ctx->config[MAX_REQUEST_SIZE]);
    return -1;
  }
  return 0;
}

// A header field name: one or more token characters.
bool is_token_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// "NAME: VALUE" with nothing in the value that would end the line or the head.
bool is_header_line(const char* line, size_t len) {
  size_t i = 0;
  while (i < len && is_token_char(static_cast<unsigned char>(line[i]))) i++;
  if (i == 0 || i == len || line[i] != ':') return false;
  for (i++; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

// Checks "extra_headers" (lines separated by LF or CR LF; empty lines are
// skipped) and keeps it as the lines the replies carry, each ended by CR LF.
int set_extra_headers(EngineContext* ctx) {
  const char* list = ctx->config[EXTRA_HEADERS] != nullptr ? ctx->config[EXTRA_HEADERS] : "";
  char lines[MAX_EXTRA_HEADERS_SIZE + 1];
  size_t used = 0;
  while (*list != '\0') {
    const char* end = std::strchr(list, '\n');
    size_t len = end != nullptr ? static_cast<size_t>(end - list) : std::strlen(list);
    const char* next = end != nullptr ? end + 1 : list + len;
    if (len > 0 && list[len - 1] == '\r') len--;
    if (len > 0) {
      if (!is_header_line(list, len)) {
        log_engine_error(ctx, "%s: not a header line: [%.*s]", config_options[EXTRA_HEADERS].long_name,
                         len > 200 ? 200 : static_cast<int>(len), list);
        return -1;
      }
      if (len + 2 > MAX_EXTRA_HEADERS_SIZE - used) {
        log_engine_error(ctx, "%s: longer than %d bytes", config_options[EXTRA_HEADERS].long_name,
                         static_cast<int>(MAX_EXTRA_HEADERS_SIZE));
        return -1;
      }
      std::memcpy(lines + used, list, len);
      std::memcpy(lines + used + len, "\r\n", 2);
      used += len + 2;
    }
    list = next;
  }
  lines[used] = '\0';
  ctx->extra_headers = strdup(lines);
  if (ctx->extra_headers == nullptr) {
    log_engine_error(ctx, "%s: %s", "set_extra_headers", std::strerror(errno));
    return -1;
  }
  return 0;
}

void free_context(EngineContext* ctx) {
  close_all_listening_sockets(ctx);
  for (char*& value : ctx->config) {
    std::free(value);
    value = nullptr;
  }
  std::free(ctx->extra_headers);
  free_ssl_context(ctx);
  std::free(ctx->worker_threads);
  sys_wakeup_close(ctx->wakeup_pipe);
  delete ctx;
}

}  // namespace

const char* mg_engine_version(void) { return "3.2"; }

const char* mg_get_option(const EngineContext* ctx, const char* name) {
  int i = get_option_index(name);
  return i < 0 || ctx == nullptr ? nullptr : ctx->config[i];
}

EngineContext* mg_launch(mg_callback_t callback, void* user_data, const char** options) {
  if (sys_startup() != 0) return nullptr;
  EngineContext* ctx = new (std::nothrow) EngineContext();
  if (ctx == nullptr) return nullptr;
  ctx->wakeup_pipe[0] = ctx->wakeup_pipe[1] = -1;
  ctx->acl_report_second = -1;
  ctx->user_callback = callback;
  ctx->user_data = user_data;

  FileStatus st;
  if (set_options(ctx, options) != 0 || check_numeric_options(ctx) != 0 || set_extra_headers(ctx) != 0 ||
      (ctx->config[GLOBAL_PASSWORDS_FILE] != nullptr && mg_stat(ctx->config[GLOBAL_PASSWORDS_FILE], &st) != 0) ||
      set_ssl_option(ctx) != 0 || set_ports_option(ctx) != 0 ||
      (ctx->config[ACCESS_CONTROL_LIST] != nullptr && check_acl(ctx, &kLoopback) == -1)) {
    free_context(ctx);
    return nullptr;
  }
  if (create_wakeup_pipe(ctx) != 0) {
    log_engine_error(ctx, "%s: %s", "mg_launch", std::strerror(errno));
    free_context(ctx);
    return nullptr;
  }
  if (start_threads(ctx) != 0) {
    stop_threads(ctx);
    free_context(ctx);
    return nullptr;
  }
  return ctx;
}

void mg_halt(EngineContext* ctx) {
  if (ctx == nullptr) return;
  stop_threads(ctx);
  free_context(ctx);
}
