#include "ostrel/engine/connection.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ostrel/engine/address.h"
#include "ostrel/engine/dispatch.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/parse.h"
#include "ostrel/engine/proxy.h"
#include "ostrel/engine/ssl.h"

namespace {

// Unread body bytes up to this size are read and dropped to keep the
// connection; a longer rest closes it.
const int64_t MAX_DRAINED_BODY = 64 * 1024;

// A kept connection waits for its next request in slices this long, and
// between them looks whether another client waits for a worker.
const int64_t IDLE_SLICE_MS = 100;

void reset_per_request_attributes(Connection* conn) {
  RequestInfo* ri = &conn->request_info;
  // Callbacks that look at every slot must not find the last request's headers.
  for (int i = 0; i < ri->num_headers && i < MAX_REQUEST_HEADERS; i++) ri->http_headers[i] = RequestHeader{};
  std::free(ri->remote_user);
  ri->remote_user = nullptr;
  ri->status_code = -1;
  ri->request_method = nullptr;
  ri->uri = nullptr;
  ri->http_version = nullptr;
  ri->query_string = nullptr;
  ri->num_headers = 0;
  conn->path_info = nullptr;
  conn->content_len = -1;
  conn->consumed_content = 0;
  conn->body_deadline_ms = 0;
  conn->num_bytes_sent = 0;
  conn->must_close = 0;
}

void read_request(Connection* conn, int64_t deadline_ms) {
  while (conn->request_len == 0 && conn->data_len < conn->buf_size) {
    int n = pull(conn, conn->buf + conn->data_len, conn->buf_size - conn->data_len, deadline_ms, true);
    if (n <= 0) break;
    conn->data_len += n;
    conn->request_len = get_request_len(conn->buf, conn->data_len);
  }
}

// Waits for the first byte of the next request on a kept connection. One
// worker serves one connection, so an idle one gives its worker up (HTTP lets
// a server close an idle connection) as soon as another client waits for a
// worker. True when input has arrived.
bool next_request_arrives(Connection* conn, int64_t deadline_ms) {
  for (;;) {
    if (conn->ctx->unserved_connections.load() > 0) return false;
    int64_t slice_end = monotonic_ms() + IDLE_SLICE_MS;
    int ready = wait_for_input(conn, slice_end < deadline_ms ? slice_end : deadline_ms);
    if (ready != 0) return ready > 0;
    if (monotonic_ms() >= deadline_ms || conn->ctx->stop_flag.load() != 0) return false;
  }
}

// Buffers the next head, unless a kept connection stays idle (see above).
void read_head(Connection* conn, int64_t deadline_ms, bool kept) {
  conn->request_len = get_request_len(conn->buf, conn->data_len);
  if (conn->request_len != 0) return;
  if (kept && conn->data_len == 0) {
    if (!next_request_arrives(conn, deadline_ms)) return;
    // The wait for a next request is over; its head has one time-out from its
    // first byte, as a first head has from the connection's start.
    deadline_ms = monotonic_ms() + read_timeout_ms();
  }
  read_request(conn, deadline_ms);
}

// A copy of everything buffered, NUL bytes included, then a NUL.
void copy_raw_request(Connection* conn) {
  RequestInfo* ri = &conn->request_info;
  ri->raw_request = conn->raw_copy;
  std::memcpy(ri->raw_request, conn->buf, static_cast<size_t>(conn->data_len));
  ri->raw_request[conn->data_len] = '\0';
  ri->data_len = conn->data_len;
  ri->request_len = conn->request_len;
}

// "Content-Length" as a decimal without sign; -1 when absent, -2 when invalid.
int64_t read_content_length(const Connection* conn) {
  const char* value = mg_find_header(conn, "Content-Length");
  if (value == nullptr) return -1;
  const char* p = value;
  while (*p == ' ' || *p == '\t') p++;
  if (*p < '0' || *p > '9') return -2;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(p, &end, 10);
  while (*end == ' ' || *end == '\t') end++;
  if (errno == ERANGE || *end != '\0') return -2;
  return n;
}

// Drops the head and the buffered body part, keeping a pipelined request.
// Returns 0 when the connection can serve another request, -1 otherwise.
int discard_current_request(Connection* conn, bool keep) {
  int64_t behind_head = conn->data_len - conn->request_len;
  int64_t buffered_body = 0;
  int64_t unread = 0;
  if (conn->content_len > 0) {
    buffered_body = conn->content_len < behind_head ? conn->content_len : behind_head;
    int64_t from_socket = conn->consumed_content > buffered_body ? conn->consumed_content - buffered_body : 0;
    unread = conn->content_len - buffered_body - from_socket;
  }
  int discard = conn->request_len + static_cast<int>(buffered_body);
  std::memmove(conn->buf, conn->buf + discard, static_cast<size_t>(conn->data_len - discard));
  conn->data_len -= discard;
  conn->request_len = 0;
  if (!keep) return -1;
  if (unread <= 0) return 0;
  // The rest of a body nobody read would otherwise be taken for the next request.
  if (unread > MAX_DRAINED_BODY) return -1;
  char scratch[4096];
  // The body's one deadline, or one for the whole rest when nobody read it: a
  // client dripping it cannot hold the worker longer.
  int64_t deadline = conn->body_deadline_ms != 0 ? conn->body_deadline_ms : monotonic_ms() + read_timeout_ms();
  while (unread > 0) {
    int want = unread < static_cast<int64_t>(sizeof(scratch)) ? static_cast<int>(unread) : static_cast<int>(sizeof(scratch));
    int n = pull(conn, scratch, want, deadline, true);
    if (n <= 0) return -1;
    unread -= n;
  }
  return 0;
}

// A request target must be an absolute path; "*" only asks about the server.
bool is_acceptable_target(const Connection* conn) {
  const RequestInfo* ri = &conn->request_info;
  if (conn->client.is_proxy || ri->uri[0] == '/') return true;
  return std::strcmp(ri->uri, "*") == 0 && std::strcmp(ri->request_method, "OPTIONS") == 0;
}

// Parses the buffered head and refuses, with the connection closed, a head
// that could be read in more than one way. Returns 0 when the request may be
// served, -1 when it was refused.
int refuse_unsafe_head(Connection* conn) {
  RequestInfo* ri = &conn->request_info;
  // The head cannot be trusted to say where the next request starts.
  conn->must_close = 1;
  // A NUL would silently end the head for every reader that follows.
  if (std::memchr(conn->buf, '\0', static_cast<size_t>(conn->request_len)) != nullptr) {
    send_http_error(conn, 400, "Bad Request", "%s", "NUL byte in the request head");
    return -1;
  }
  conn->buf[conn->request_len - 1] = '\0';
  int parsed = parse_http_request(conn->buf, ri);
  if (parsed == PARSE_TOO_MANY_HEADERS) {
    send_http_error(conn, 431, "Request Header Fields Too Large", "%s", "");
    return -1;
  }
  if (parsed != PARSE_OK || !is_acceptable_target(conn)) {
    send_http_error(conn, 400, "Bad Request", "Cannot parse HTTP request: [%.*s]", conn->data_len,
                    ri->raw_request);
    return -1;
  }
  // Bodies are delimited by "Content-Length" only; a chunked body would be
  // read as the next request.
  if (mg_find_header(conn, "Transfer-Encoding") != nullptr) {
    send_http_error(conn, 501, "Not Implemented", "%s", "Transfer-Encoding is not supported");
    return -1;
  }
  conn->must_close = 0;
  return 0;
}

// Ends a connection whose buffer holds no head to serve: with a reply when
// the head is too large or holds a control byte, silently when the client
// went quiet or away. Returns false when a head is there.
bool lacks_usable_head(Connection* conn) {
  if (conn->request_len > 0) return false;
  conn->must_close = 1;
  if (conn->request_len < 0) {
    send_http_error(conn, 400, "Bad Request", "%s", "Control byte in the request head");
  } else if (conn->data_len == conn->buf_size) {
    send_http_error(conn, 413, "Request Too Large", "%s", "");
  }
  return true;
}

void process_new_connection(Connection* conn) {
  RequestInfo* ri = &conn->request_info;
  const char* keep_alive_option = conn->ctx->config[ENABLE_KEEP_ALIVE];
  bool keep_alive_enabled = keep_alive_option != nullptr && std::strcmp(keep_alive_option, "yes") == 0;
  int64_t deadline = monotonic_ms() + read_timeout_ms();
  bool keep = false;

  do {
    reset_per_request_attributes(conn);
    read_head(conn, deadline, keep);
    copy_raw_request(conn);
    if (lacks_usable_head(conn)) return;

    if (refuse_unsafe_head(conn) != 0) return;
    if (std::strcmp(ri->http_version, "1.0") != 0 && std::strcmp(ri->http_version, "1.1") != 0) {
      conn->must_close = 1;
      send_http_error(conn, 505, "HTTP version not supported", "%s", "");
      log_access(conn);
      return;
    }
    // An unreadable "Content-Length" leaves the request without a body; the
    // keep-alive decision then ends the connection after the reply, since no
    // one can tell where the next request would start.
    conn->content_len = read_content_length(conn);
    if (conn->content_len == -2) conn->content_len = -1;
    conn->birth_time = static_cast<int64_t>(std::time(nullptr));
    if (conn->client.is_proxy) {
      handle_proxy_request(conn);
    } else {
      analyze_request(conn);
    }
    call_user(conn, EVT_REQUEST_DONE);
    log_access(conn);
    // Decided before the buffer moves: the headers point into it.
    keep = conn->ctx->stop_flag.load() == 0 && keep_alive_enabled && should_keep_alive(conn) &&
           conn->client.sock >= 0;
    if (discard_current_request(conn, keep) != 0) keep = false;
    std::free(ri->remote_user);
    ri->remote_user = nullptr;
    deadline = monotonic_ms() + read_timeout_ms();
  } while (keep);
}

void close_connection(Connection* conn) {
  int sock = conn->client.sock;
  if (sock < 0) return;
  // The kernel sends what is left and the FIN after the close; a lingering
  // close would only hold the worker until the client acknowledges them.
  sys_shutdown_write(sock);
  // Bytes left unread would turn the close into a reset that can overtake the reply.
  char buf[512];
  while (sys_recv(sock, buf, sizeof(buf), true) > 0) {
  }
  sys_close_socket(sock);
  conn->client.sock = -1;
}

}  // namespace

void serve_connection(Connection* conn) {
  RequestInfo* ri = &conn->request_info;
  std::memset(ri, 0, sizeof(*ri));
  conn->peer = nullptr;
  conn->ssl = nullptr;
  conn->data_len = 0;
  conn->request_len = 0;
  conn->nonblocking = 0;
  conn->birth_time = static_cast<int64_t>(std::time(nullptr));
  set_remote_address(ri, &conn->client.remote_addr);
  ri->is_ssl = conn->client.is_ssl;
  prepare_accepted_socket(&conn->client);

  if (conn->client.is_ssl) {
    if (conn->ctx->ssl_ctx != nullptr) {
      conn->ssl = ssl_accept_connection(conn, monotonic_ms() + read_timeout_ms());
      if (conn->ssl != nullptr) process_new_connection(conn);
    }
  } else {
    process_new_connection(conn);
  }

  close_peer(conn);
  ssl_free_connection(conn->ssl);
  conn->ssl = nullptr;
  ri->raw_request = nullptr;
  std::free(ri->remote_user);
  ri->remote_user = nullptr;
  close_connection(conn);
}
