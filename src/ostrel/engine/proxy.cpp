#include "ostrel/engine/proxy.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>

#include "ostrel/engine/body.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/ssl.h"

namespace {

enum { MAX_HOST_LEN = 1024 };

// Connects SOCK to SA by DEADLINE_MS. 0 or -1 with errno set.
int connect_with_deadline(EngineContext* ctx, int sock, const sockaddr* sa, socklen_t len, int64_t deadline_ms) {
  // The socket is new and blocking; it is again after the connect.
  sys_set_nonblocking(sock, true);
  int r = sys_connect(sock, sa, len);
  if (r != 0 && errno == EINPROGRESS) {
    SysPollFd fds[2] = {{sock, POLLOUT, 0}, {ctx->wakeup_pipe[0], POLLIN, 0}};
    r = -1;
    errno = ETIMEDOUT;
    for (;;) {
      int64_t left = deadline_ms - monotonic_ms();
      if (left <= 0) break;
      int n = sys_poll(fds, 2, left > INT_MAX ? INT_MAX : static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) continue;
      if (fds[1].revents != 0) {
        errno = ECANCELED;
        break;
      }
      int err = sys_socket_error(sock);
      r = err == 0 ? 0 : -1;
      errno = err;
      break;
    }
  }
  int err = errno;
  sys_set_nonblocking(sock, false);
  errno = err;
  return r;
}

// The outgoing connection, as a connection of its own; null after a report.
Connection* mg_connect(Connection* conn, const char* host, int port, int use_ssl) {
  EngineContext* ctx = conn->ctx;
  if (use_ssl && ctx->ssl_client_ctx == nullptr) {
    log_error(conn, "%s: SSL is not initialized", "mg_connect");
    return nullptr;
  }
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int gai = getaddrinfo(host, nullptr, &hints, &found);
  if (gai != 0 || found == nullptr) {
    log_error(conn, "%s: gethostbyname(%s): %s", "mg_connect", host, gai_strerror(gai));
    return nullptr;
  }
  sockaddr_in sin;
  std::memcpy(&sin, found->ai_addr, sizeof(sin));
  freeaddrinfo(found);
  sin.sin_port = htons(static_cast<uint16_t>(port));

  int sock = sys_socket(AF_INET);
  if (sock < 0) {
    log_error(conn, "%s: socket: %s", "mg_connect", sys_strerror(errno));
    return nullptr;
  }
  int64_t deadline = monotonic_ms() + read_timeout_ms();
  if (connect_with_deadline(ctx, sock, reinterpret_cast<sockaddr*>(&sin), sizeof(sin), deadline) != 0) {
    log_error(conn, "%s: connect(%s:%d): %s", "mg_connect", host, port, sys_strerror(errno));
    sys_close_socket(sock);
    return nullptr;
  }
  Connection* peer = new (std::nothrow) Connection();
  if (peer == nullptr) {
    log_error(conn, "%s: calloc: %s", "mg_connect", std::strerror(ENOMEM));
    sys_close_socket(sock);
    return nullptr;
  }
  peer->ctx = ctx;
  peer->client.sock = sock;
  peer->client.remote_addr.sin = sin;
  prepare_client_socket(sock);
  if (use_ssl) {
    peer->ssl = ssl_connect_socket(ctx, sock, deadline);
    if (peer->ssl == nullptr) {
      log_error(conn, "%s: connect(%s:%d): %s", "mg_connect", host, port, "TLS handshake failed");
      sys_close_socket(sock);
      delete peer;
      return nullptr;
    }
  }
  return peer;
}

bool send_pieces(Connection* peer, const char* const* pieces, size_t count) {
  for (size_t i = 0; i < count; i++) {
    int64_t len = static_cast<int64_t>(std::strlen(pieces[i]));
    if (push(peer, pieces[i], len) != len) return false;
  }
  return true;
}

int64_t write_to_peer(void* arg, const char* data, int len) { return push(static_cast<Connection*>(arg), data, len); }

// "HTTP/1.x NNN" at the start of the peer's answer gives the logged status.
int peer_status(const char* data, int len) {
  if (len < 12 || std::strncmp(data, "HTTP/", 5) != 0) return -1;
  const char* s = static_cast<const char*>(std::memchr(data, ' ', static_cast<size_t>(len)));
  if (s == nullptr || data + len - s < 4) return -1;
  int status = 0;
  for (int i = 1; i <= 3; i++) {
    if (s[i] < '0' || s[i] > '9') return -1;
    status = status * 10 + (s[i] - '0');
  }
  return status;
}

}  // namespace

int parse_proxy_uri(const char* uri, char* host, size_t host_len, int* port, const char** rest) {
  const char* s = uri;
  if (strncasecmp(s, "http://", 7) == 0) s += 7;
  size_t n = std::strcspn(s, ":/");
  if (n == 0 || n >= host_len || n > MAX_HOST_LEN) return -1;
  std::memcpy(host, s, n);
  host[n] = '\0';
  s += n;
  *port = 80;
  if (*s == ':') {
    s++;
    if (*s < '0' || *s > '9') return -1;
    int p = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
      p = p * 10 + (*s - '0');
      if (p > 65535) return -1;
    }
    if (p == 0 || (*s != '\0' && *s != '/')) return -1;
    *port = p;
  }
  *rest = *s == '/' ? s : "/";
  return 0;
}

void close_peer(Connection* conn) {
  Connection* peer = conn->peer;
  if (peer == nullptr) return;
  conn->peer = nullptr;
  if (peer->ssl != nullptr) {
    ssl_free_connection(peer->ssl);
  } else if (peer->client.sock >= 0) {
    sys_shutdown_write(peer->client.sock);
  }
  if (peer->client.sock >= 0) sys_close_socket(peer->client.sock);
  delete peer;
}

void handle_proxy_request(Connection* conn) {
  RequestInfo* ri = &conn->request_info;
  // The answer is relayed until the server closes: nothing delimits it.
  conn->must_close = 1;
  char host[MAX_HOST_LEN + 1];
  int port = 0;
  const char* rest = nullptr;
  if (ri->uri[0] == '/' || parse_proxy_uri(ri->uri, host, sizeof(host), &port, &rest) != 0) return;

  if (conn->peer == nullptr) conn->peer = mg_connect(conn, host, port, std::strcmp(ri->request_method, "CONNECT") == 0);
  Connection* peer = conn->peer;
  if (peer == nullptr) return;

  // Written piece by piece: header values may be longer than any buffer.
  // The server is asked to close after its answer, which ends the relay.
  const char* line[] = {ri->request_method, " ", rest, " HTTP/", ri->http_version, "\r\n"};
  bool ok = send_pieces(peer, line, sizeof(line) / sizeof(line[0]));
  for (int i = 0; ok && i < ri->num_headers; i++) {
    if (strcasecmp(ri->http_headers[i].name, "Connection") == 0) continue;
    const char* header[] = {ri->http_headers[i].name, ": ", ri->http_headers[i].value, "\r\n"};
    ok = send_pieces(peer, header, sizeof(header) / sizeof(header[0]));
  }
  const char* end[] = {"Connection: close\r\n\r\n"};
  ok = ok && send_pieces(peer, end, 1);
  if (ok && std::strcmp(ri->request_method, "POST") == 0 && !forward_body_data(conn, write_to_peer, peer)) ok = false;

  char buf[16384];
  bool first = true;
  while (ok) {
    int n = pull(peer, buf, static_cast<int>(sizeof(buf)), monotonic_ms() + read_timeout_ms(), true);
    if (n <= 0) break;
    if (first) ri->status_code = peer_status(buf, n);
    first = false;
    int64_t sent = push(conn, buf, n);
    conn->num_bytes_sent += sent;
    if (sent != n) break;
  }
  close_peer(conn);
}
