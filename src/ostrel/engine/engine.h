// The embedded HTTP/1.1 engine: records and the functions its callers use.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ostrel/engine/sys.h"

struct ssl_st;
struct ssl_ctx_st;

enum {
  ENGINE_NUM_OPTIONS = 26,
  MAX_REQUEST_HEADERS = 64,
  CONNECTION_QUEUE_SIZE = 20,
};

enum mg_event {
  EVT_NEW_REQUEST = 0,   // non-null result: the callback has answered the request
  EVT_HTTP_ERROR = 1,    // non-null result: the engine sends no error reply
  EVT_LOG_MESSAGE = 2,   // non-null result: the engine does not write its error log
  EVT_INIT_SSL = 3,      // once at start; the connection argument is the SSL context
  EVT_REQUEST_DONE = 4,  // result ignored
  // On the accept thread, before any byte is read; the connection carries the
  // client socket only. Non-null result: the client is refused and its socket
  // closed (the callback may write a short reply first, without waiting).
  EVT_NEW_CONNECTION = 5,
};

struct Connection;
struct RequestInfo;

// Called on the worker thread that serves the connection. After a request
// the callback has answered (EVT_NEW_REQUEST or EVT_HTTP_ERROR with a non-null
// result) the connection is closed; a callback whose reply is delimited
// (Content-Length) may clear conn->must_close to keep it alive.
typedef void* (*mg_callback_t)(mg_event event, Connection* conn, RequestInfo* request_info);

// An IPv4 or an IPv6 socket address: the family says which member holds it.
union SocketAddress {
  sockaddr sa;
  sockaddr_in sin;
  sockaddr_in6 sin6;
};

struct SocketRecord {
  SocketRecord* next;  // listeners only
  int sock;            // -1 once closed
  SocketAddress local_addr;
  SocketAddress remote_addr;  // no family for a listener and outside any connection
  int is_ssl;
  int is_proxy;
  // The read time-out (ms) that a listener's options give the sockets it
  // accepts; 0 when they must be set on each.
  int inherited_read_timeout_ms;
};

struct RequestHeader {
  char* name;
  char* value;
};

struct RequestInfo {
  void* user_data;
  char* request_method;
  char* uri;           // decoded and normalised, without the query
  char* http_version;  // "1.0", "1.1"
  char* query_string;  // null without "?"
  // The buffered bytes as read (head, then any body bytes or pipelined data),
  // data_len bytes followed by a NUL. Owned by the engine.
  char* raw_request;
  char* remote_user;
  char* log_message;  // set during EVT_LOG_MESSAGE only
  int log_errno;      // with log_message: the system error reported, or 0
  uint32_t remote_ip;  // host byte order; 0 for an IPv6 client
  int remote_port;
  int status_code;  // -1 until a reply status is chosen
  int is_ssl;
  int num_headers;
  int data_len;     // bytes of raw_request
  int request_len;  // length of the head within raw_request
  RequestHeader http_headers[MAX_REQUEST_HEADERS];
};

struct EngineContext {
  std::atomic<int> stop_flag;  // 0 running, 1 stop requested, 2 accept thread done
  ssl_ctx_st* ssl_ctx;
  ssl_ctx_st* ssl_client_ctx;  // outgoing TLS of proxied "CONNECT" requests
  char* config[ENGINE_NUM_OPTIONS];
  // "extra_headers" as checked at start: whole lines, each ended by CR LF;
  // empty when there are none.
  char* extra_headers;
  mg_callback_t user_callback;
  void* user_data;
  SocketRecord* listening_sockets;  // reverse order of "listening_ports"

  // The mutex guards the worker count and the queue.
  int num_threads;
  pthread_mutex_t mutex;
  pthread_cond_t thread_cond;  // a worker has ended
  SocketRecord queue[CONNECTION_QUEUE_SIZE];
  int sq_head;
  int sq_tail;
  pthread_cond_t sq_full;   // a record is available
  pthread_cond_t sq_empty;  // room is available
  int idle_workers;         // waiting for a record
  // Records that no idle worker is about to take, written under the mutex:
  // a worker holding an idle kept connection reads it to give way.
  std::atomic<int> unserved_connections;

  // The accept thread's own: when it last reported a refused client, and how
  // many it has not reported since.
  int64_t acl_report_second;
  int acl_reports_skipped;

  pthread_t accept_thread;
  int accept_thread_started;
  pthread_t* worker_threads;
  int num_worker_threads;
  int sync_ready;        // mutex and conditions exist
  int wakeup_pipe[2];    // readable once a stop has been requested (sys_wakeup_open)
};

struct Connection {
  Connection* peer;
  RequestInfo request_info;
  EngineContext* ctx;
  ssl_st* ssl;
  SocketRecord client;
  int64_t birth_time;
  int64_t num_bytes_sent;
  int64_t content_len;       // -1 without "Content-Length"
  int64_t consumed_content;  // body bytes handed out by mg_read_body
  // When the whole body must have arrived (monotonic ms), set by its first
  // read; 0 before it.
  int64_t body_deadline_ms;
  char* buf;
  char* raw_copy;  // buf_size + 1 bytes: where raw_request is copied
  char* path_info;
  int must_close;
  int buf_size;
  int request_len;  // 0 while incomplete, -1 when malformed
  int data_len;
  int nonblocking;  // the callback keeps the channel: no engine time-outs apply
};

// Options: (name, value) pairs ended by a null name; short or long names.
EngineContext* mg_launch(mg_callback_t callback, void* user_data, const char** options);
void mg_halt(EngineContext* ctx);
const char* mg_engine_version(void);
// The value of an option by short or long name, or null.
const char* mg_get_option(const EngineContext* ctx, const char* name);

const char* mg_find_header(const Connection* conn, const char* name);
int mg_read_body(Connection* conn, void* buf, size_t len);
int64_t mg_send(Connection* conn, const void* buf, size_t len);
int mg_send_formatted(Connection* conn, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int mg_find_var(const char* data, size_t data_len, const char* name, char* dst, size_t dst_len);
void mg_set_nonblocking(Connection* conn);
// On a non-blocking connection: what has arrived, without waiting. The bytes
// read, 0 when the peer has closed, -1 on an error or when nothing is there
// (errno EAGAIN).
int mg_read(Connection* conn, void* buf, size_t len);
int64_t mg_send_when_writable(Connection* conn, const void* buf, size_t len);
int mg_probe_peer(Connection* conn);
void mg_close_socket(Connection* conn);
// Takes the connection's socket (and TLS state) out of the engine's hands, for
// a callback that goes on serving it on a thread of its own (an event
// channel): the engine then neither reads, writes nor closes it, and its
// worker is free once the callback returns. The copy returned depends on no
// running engine; it is non-blocking and lives until mg_free_detached. Null
// when the connection has no socket.
Connection* mg_detach_connection(Connection* conn);
// Closes a detached connection's socket and frees the copy.
void mg_free_detached(Connection* detached);
int mg_ws_timeout(const Connection* conn);
int mg_resp_coding(const Connection* conn);
