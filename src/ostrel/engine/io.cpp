#include "ostrel/engine/io.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/ssl.h"

namespace {

std::atomic<int> g_read_timeout_ms{15000};

// Waits until SOCK is ready for EVENTS. Returns 1 ready, 0 timed out or
// stopping, -1 on error. A negative deadline waits without a time-out.
int wait_socket(Connection* conn, short events, int64_t deadline_ms, bool stop_aware) {
  SysPollFd fds[2];
  fds[0].fd = conn->client.sock;
  fds[0].events = events;
  fds[1].fd = stop_aware && conn->ctx != nullptr ? conn->ctx->wakeup_pipe[0] : -1;
  fds[1].events = POLLIN;
  for (;;) {
    int timeout = -1;
    if (deadline_ms >= 0) {
      int64_t left = deadline_ms - monotonic_ms();
      if (left <= 0) return 0;
      timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    fds[0].revents = fds[1].revents = 0;
    int n = sys_poll(fds, 2, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) continue;  // the deadline is checked at the top
    if (fds[1].revents != 0) return 0;
    return 1;
  }
}

int64_t write_chunk(Connection* conn, const char* buf, int len, bool more) {
  if (conn->ssl != nullptr) return ssl_write(conn->ssl, buf, len);
  for (;;) {
    ssize_t n = sys_send(conn->client.sock, buf, static_cast<size_t>(len), more);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int64_t push_flags(Connection* conn, const char* buf, int64_t len, bool more) {
  int64_t sent = 0;
  if (conn->client.sock < 0) return 0;
  while (sent < len) {
    int64_t left = len - sent;
    int chunk = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    int64_t n = write_chunk(conn, buf + sent, chunk, more);
    if (n <= 0) break;
    sent += n;
  }
  return sent;
}

bool stopping(const Connection* conn) { return conn->ctx != nullptr && conn->ctx->stop_flag.load() != 0; }

// A blocking socket reports EAGAIN once its send time-out has passed; a
// non-blocking one whenever its buffer is full, and then waits here.
bool may_wait_to_write(Connection* conn) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  return conn->nonblocking && wait_socket(conn, POLLOUT, monotonic_ms() + WRITE_TIMEOUT_MS, true) == 1;
}

int64_t send_file_plain(Connection* conn, int fd, int64_t offset, int64_t len) {
  int64_t sent = 0;
  int64_t pos = offset;
  while (sent < len && conn->client.sock >= 0) {
    int64_t left = len - sent;
    ssize_t n = sys_send_file(conn->client.sock, fd, &pos, left > (1 << 30) ? (1 << 30) : static_cast<size_t>(left));
    if (n > 0) {
      sent += n;
    } else if (n == 0 || (errno != EINTR && !may_wait_to_write(conn))) {
      break;
    }
  }
  return sent;
}

int64_t send_file_copied(Connection* conn, int fd, int64_t offset, int64_t len) {
  int64_t sent = 0;
  char buf[16384];
  while (sent < len) {
    size_t want = len - sent < static_cast<int64_t>(sizeof(buf)) ? static_cast<size_t>(len - sent) : sizeof(buf);
    ssize_t n = read_file_at(fd, buf, want, offset + sent);
    if (n <= 0) break;
    int64_t written = push(conn, buf, n);
    sent += written;
    if (written != n) break;
  }
  return sent;
}

int set_read_timeout(int sock, int ms) { return sys_set_read_timeout(sock, ms); }

int set_write_timeout(int sock) { return sys_set_write_timeout(sock, WRITE_TIMEOUT_MS); }

}  // namespace

void mg_set_read_timeout_ms(int ms) { g_read_timeout_ms.store(ms > 0 ? ms : 1); }
int read_timeout_ms() { return g_read_timeout_ms.load(); }

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int pull(Connection* conn, char* buf, int len, int64_t deadline_ms, bool stop_aware) {
  if (conn->client.sock < 0 || len <= 0) return -1;
  if (conn->ssl != nullptr) {
    bool buffered = ssl_pending(conn->ssl) > 0;
    if (!conn->nonblocking && !buffered && wait_socket(conn, POLLIN, deadline_ms, stop_aware) != 1) return -1;
    return ssl_read(conn->ssl, buf, len);
  }
  // Bytes that have arrived are read at once; the wait is only for a socket
  // that would block.
  const bool dont_wait = !conn->nonblocking;
  for (;;) {
    // A stop is honoured before data that keeps arriving.
    if (stop_aware && stopping(conn)) return -1;
    ssize_t n = sys_recv(conn->client.sock, buf, static_cast<size_t>(len), dont_wait);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (conn->nonblocking || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    if (wait_socket(conn, POLLIN, deadline_ms, stop_aware) != 1) return -1;
  }
}

int wait_for_input(Connection* conn, int64_t deadline_ms) {
  if (conn->client.sock < 0) return -1;
  if (conn->ssl != nullptr && ssl_pending(conn->ssl) > 0) return 1;
  return wait_socket(conn, POLLIN, deadline_ms, true);
}

int64_t push(Connection* conn, const char* buf, int64_t len) { return push_flags(conn, buf, len, false); }

int64_t push_before_more(Connection* conn, const char* buf, int64_t len) {
  return push_flags(conn, buf, len, true);
}

ssize_t read_file_at(int fd, char* buf, size_t len, int64_t offset) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = sys_pread(fd, buf + done, len - done, offset + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int64_t push_file(Connection* conn, int fd, int64_t offset, int64_t len) {
  if (conn->client.sock < 0) return 0;
  // Plain sockets: the kernel copies from the file.
  if (conn->ssl == nullptr) return send_file_plain(conn, fd, offset, len);
  return send_file_copied(conn, fd, offset, len);
}

void prepare_client_socket(int sock) {
  sys_set_nodelay(sock);
  set_read_timeout(sock, read_timeout_ms());
  set_write_timeout(sock);
}

int prepare_listening_socket(int sock) {
  int ms = read_timeout_ms();
  bool set = sys_set_nodelay(sock) == 0 && set_read_timeout(sock, ms) == 0 &&
             set_write_timeout(sock) == 0;
  return set ? ms : 0;
}

void prepare_accepted_socket(const SocketRecord* client) {
  if (client->inherited_read_timeout_ms == 0) {
    prepare_client_socket(client->sock);
  } else if (client->inherited_read_timeout_ms != read_timeout_ms()) {
    set_read_timeout(client->sock, read_timeout_ms());
  }
}

void set_corked(Connection* conn, int on) {
  if (conn->ssl != nullptr || conn->client.sock < 0) return;
  sys_set_corked(conn->client.sock, on);
}

int create_wakeup_pipe(EngineContext* ctx) { return sys_wakeup_open(ctx->wakeup_pipe); }

void trigger_wakeup(EngineContext* ctx) { sys_wakeup_signal(ctx->wakeup_pipe[1]); }

// Connection functions for the request callback.

const char* mg_find_header(const Connection* conn, const char* name) {
  const RequestInfo* ri = &conn->request_info;
  for (int i = 0; i < ri->num_headers && i < MAX_REQUEST_HEADERS; i++) {
    if (ri->http_headers[i].name != nullptr && strcasecmp(name, ri->http_headers[i].name) == 0) {
      return ri->http_headers[i].value;
    }
  }
  return nullptr;
}

int read_body(Connection* conn, void* buf, size_t len) {
  if (conn->content_len < 0) return 0;
  int64_t remaining = conn->content_len - conn->consumed_content;
  if (remaining <= 0 || len == 0) return 0;
  int64_t want = static_cast<int64_t>(len < static_cast<size_t>(INT_MAX) ? len : INT_MAX);
  if (want > remaining) want = remaining;

  char* out = static_cast<char*>(buf);
  int64_t nread = 0;
  int64_t behind_head = conn->data_len - conn->request_len;
  int64_t buffered = behind_head < conn->content_len ? behind_head : conn->content_len;
  if (conn->consumed_content < buffered) {
    int64_t n = buffered - conn->consumed_content;
    if (n > want) n = want;
    std::memcpy(out, conn->buf + conn->request_len + conn->consumed_content, static_cast<size_t>(n));
    conn->consumed_content += n;
    nread += n;
  }
  // One deadline for the whole body, however it is read in pieces: a client
  // dripping it a byte at a time cannot hold the worker longer.
  if (conn->body_deadline_ms == 0) conn->body_deadline_ms = monotonic_ms() + read_timeout_ms();
  while (nread < want) {
    int64_t deadline = conn->nonblocking ? -1 : conn->body_deadline_ms;
    int n = pull(conn, out + nread, static_cast<int>(want - nread), deadline, false);
    if (n <= 0) return nread > 0 ? static_cast<int>(nread) : -1;
    conn->consumed_content += n;
    nread += n;
  }
  return static_cast<int>(nread);
}

int mg_read_body(Connection* conn, void* buf, size_t len) {
  const char* method = conn->request_info.request_method;
  if (method == nullptr || std::strcmp(method, "POST") != 0) return 0;
  int n = read_body(conn, buf, len);
  return n < 0 ? 0 : n;
}

int64_t mg_send(Connection* conn, const void* buf, size_t len) {
  return push(conn, static_cast<const char*>(buf), static_cast<int64_t>(len));
}

int mg_send_formatted(Connection* conn, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  if (n < 0) {
    log_error(conn, "vsnprintf error");
    return 0;
  }
  if (n >= static_cast<int>(sizeof(buf))) {
    log_error(conn, "truncating vsnprintf buffer: [%.*s]", 200, buf);
    n = static_cast<int>(sizeof(buf)) - 1;
  }
  return static_cast<int>(push(conn, buf, n));
}

void mg_set_nonblocking(Connection* conn) {
  if (conn->client.sock < 0) return;
  sys_set_nonblocking(conn->client.sock, true);
  conn->nonblocking = 1;
}

int mg_read(Connection* conn, void* buf, size_t len) {
  return pull(conn, static_cast<char*>(buf), len > INT_MAX ? INT_MAX : static_cast<int>(len), -1, false);
}

int64_t mg_send_when_writable(Connection* conn, const void* buf, size_t len) {
  if (conn->client.sock < 0) return -1;
  // No time-out, but a stopping engine ends the wait.
  if (wait_socket(conn, POLLOUT, -1, true) != 1) return -1;
  return mg_send(conn, buf, len);
}

int mg_probe_peer(Connection* conn) {
  if (conn->client.sock < 0) return 0;
  char c;
  ssize_t n;
  do {
    n = sys_recv(conn->client.sock, &c, 1, false);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    mg_close_socket(conn);
    return 0;
  }
  return 1;
}

void mg_close_socket(Connection* conn) {
  if (conn->client.sock < 0) return;
  // shutdown first: it also ends waits on the socket in other threads
  sys_shutdown_both(conn->client.sock);
  sys_close_socket(conn->client.sock);
  conn->client.sock = -1;
}

Connection* mg_detach_connection(Connection* conn) {
  if (conn->client.sock < 0) return nullptr;
  Connection* detached = static_cast<Connection*>(std::calloc(1, sizeof(Connection)));
  if (detached == nullptr) return nullptr;
  detached->client = conn->client;
  detached->ssl = conn->ssl;
  detached->content_len = -1;
  detached->request_info.remote_ip = conn->request_info.remote_ip;
  detached->request_info.remote_port = conn->request_info.remote_port;
  detached->request_info.status_code = -1;
  mg_set_nonblocking(detached);
  // The worker finishes the request as if the callback had closed the socket.
  conn->client.sock = -1;
  conn->ssl = nullptr;
  return detached;
}

void mg_free_detached(Connection* detached) {
  if (detached == nullptr) return;
  ssl_free_connection(detached->ssl);
  mg_close_socket(detached);
  std::free(detached);
}

static int option_int_or_zero(const Connection* conn, int index) {
  const char* value = conn->ctx != nullptr ? conn->ctx->config[index] : nullptr;
  if (value == nullptr) return 0;
  long n = std::strtol(value, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

int mg_ws_timeout(const Connection* conn) { return option_int_or_zero(conn, WS_TIMEOUT); }
int mg_resp_coding(const Connection* conn) { return option_int_or_zero(conn, RESP_CODING); }
