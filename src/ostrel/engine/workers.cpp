#include "ostrel/engine/workers.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "ostrel/engine/acl.h"
#include "ostrel/engine/address.h"
#include "ostrel/engine/connection.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"

namespace {

const int MAX_WATCHED_LISTENERS = 64;
const int MAX_ACCEPTS_PER_WAKEUP = 16;

// Engine threads never die of a write to a closed peer (the TLS library
// writes without MSG_NOSIGNAL).
void block_sigpipe() { sys_block_sigpipe(); }

// Called with the mutex held, whenever the queue or the idle workers change.
void count_unserved(EngineContext* ctx) {
  int unserved = ctx->sq_head - ctx->sq_tail - ctx->idle_workers;
  ctx->unserved_connections.store(unserved > 0 ? unserved : 0);
}

void produce_socket(EngineContext* ctx, const SocketRecord* sp) {
  bool queued = false;
  pthread_mutex_lock(&ctx->mutex);
  while (ctx->stop_flag.load() == 0 && ctx->sq_head - ctx->sq_tail >= CONNECTION_QUEUE_SIZE) {
    pthread_cond_wait(&ctx->sq_empty, &ctx->mutex);
  }
  if (ctx->sq_head - ctx->sq_tail < CONNECTION_QUEUE_SIZE) {
    ctx->queue[ctx->sq_head % CONNECTION_QUEUE_SIZE] = *sp;
    ctx->sq_head++;
    count_unserved(ctx);
    queued = true;
  }
  pthread_mutex_unlock(&ctx->mutex);
  // After the unlock, so that the worker woken does not block on the mutex.
  pthread_cond_signal(&ctx->sq_full);
  if (!queued) sys_close_socket(sp->sock);
}

// Returns 1 with a record, 0 when the engine is stopping.
int consume_socket(EngineContext* ctx, SocketRecord* sp) {
  pthread_mutex_lock(&ctx->mutex);
  ctx->idle_workers++;
  count_unserved(ctx);
  while (ctx->sq_head == ctx->sq_tail && ctx->stop_flag.load() == 0) {
    pthread_cond_wait(&ctx->sq_full, &ctx->mutex);
  }
  ctx->idle_workers--;
  if (ctx->stop_flag.load() != 0) {
    pthread_mutex_unlock(&ctx->mutex);
    return 0;
  }
  *sp = ctx->queue[ctx->sq_tail % CONNECTION_QUEUE_SIZE];
  ctx->sq_tail++;
  while (ctx->sq_tail > CONNECTION_QUEUE_SIZE) {
    ctx->sq_tail -= CONNECTION_QUEUE_SIZE;
    ctx->sq_head -= CONNECTION_QUEUE_SIZE;
  }
  count_unserved(ctx);
  pthread_mutex_unlock(&ctx->mutex);
  pthread_cond_signal(&ctx->sq_empty);
  return 1;
}

// The callback may refuse a client from its socket alone, so that a refused
// client never waits in the queue or holds a worker.
bool admitted_by_callback(EngineContext* ctx, SocketRecord* accepted) {
  if (ctx->user_callback == nullptr) return true;
  Connection conn{};
  conn.ctx = ctx;
  conn.client = *accepted;
  conn.birth_time = static_cast<int64_t>(std::time(nullptr));
  set_remote_address(&conn.request_info, &accepted->remote_addr);
  conn.request_info.is_ssl = accepted->is_ssl;
  conn.request_info.status_code = -1;
  if (call_user(&conn, EVT_NEW_CONNECTION) == nullptr) return true;
  if (conn.client.sock >= 0) {
    // Bytes left unread would turn the close into a reset that can overtake
    // the callback's reply; only what has already arrived is read.
    sys_shutdown_write(conn.client.sock);
    char scratch[4096];
    for (int i = 0; i < 4 && sys_recv(conn.client.sock, scratch, sizeof(scratch), true) > 0; i++) {
    }
    sys_close_socket(conn.client.sock);
  }
  return false;
}

// Any local process may connect from an address the list refuses, as fast as
// it likes: at most one report a second, so that none can fill the log.
void report_refused_client(EngineContext* ctx, const SocketAddress* remote) {
  const int64_t now = monotonic_ms() / 1000;
  if (ctx->acl_report_second == now) {
    ctx->acl_reports_skipped++;
    return;
  }
  char addr[INET6_ADDRSTRLEN];
  address_to_text(remote, addr, sizeof(addr));
  if (ctx->acl_reports_skipped > 0) {
    log_engine_error(ctx, "%s: %.46s is not allowed to connect (and %d more refused since the last report)",
                     "accept_new_connection", addr, ctx->acl_reports_skipped);
  } else {
    log_engine_error(ctx, "%s: %.46s is not allowed to connect", "accept_new_connection", addr);
  }
  ctx->acl_report_second = now;
  ctx->acl_reports_skipped = 0;
}

// Returns false when no client was waiting.
bool accept_new_connection(const SocketRecord* listener, EngineContext* ctx) {
  SocketRecord accepted;
  std::memset(&accepted, 0, sizeof(accepted));
  accepted.sock = sys_accept(listener->sock, &accepted.remote_addr);
  if (accepted.sock < 0) return false;
  accepted.local_addr = listener->local_addr;
  accepted.is_ssl = listener->is_ssl;
  accepted.is_proxy = listener->is_proxy;
  accepted.inherited_read_timeout_ms = listener->inherited_read_timeout_ms;

  if (check_acl(ctx, &accepted.remote_addr) == 1) {
    if (admitted_by_callback(ctx, &accepted)) produce_socket(ctx, &accepted);
  } else {
    report_refused_client(ctx, &accepted.remote_addr);
    sys_close_socket(accepted.sock);
  }
  return true;
}

void* accept_thread(void* arg) {
  EngineContext* ctx = static_cast<EngineContext*>(arg);
  block_sigpipe();

  SysPollFd fds[MAX_WATCHED_LISTENERS + 1];
  const SocketRecord* watched[MAX_WATCHED_LISTENERS];
  while (ctx->stop_flag.load() == 0) {
    int n = 0;
    for (const SocketRecord* sp = ctx->listening_sockets; sp != nullptr && n < MAX_WATCHED_LISTENERS; sp = sp->next) {
      watched[n] = sp;
      fds[n].fd = sp->sock;
      fds[n].events = POLLIN;
      fds[n].revents = 0;
      n++;
    }
    fds[n].fd = ctx->wakeup_pipe[0];
    fds[n].events = POLLIN;
    fds[n].revents = 0;
    int ready = sys_poll(fds, n + 1, -1);
    if (ready < 0) {
      if (errno != EINTR) sys_poll(&fds[n], 1, 1000);
      continue;
    }
    // Clients that arrived together are taken without a wait in between;
    // the bound keeps the other listeners served.
    for (int i = 0; i < n; i++) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      for (int k = 0; k < MAX_ACCEPTS_PER_WAKEUP && ctx->stop_flag.load() == 0; k++) {
        if (!accept_new_connection(watched[i], ctx)) break;
      }
    }
  }

  while (ctx->listening_sockets != nullptr) {
    SocketRecord* sp = ctx->listening_sockets;
    ctx->listening_sockets = sp->next;
    sys_close_socket(sp->sock);
    delete sp;
  }
  pthread_mutex_lock(&ctx->mutex);
  pthread_cond_broadcast(&ctx->sq_full);
  while (ctx->num_threads > 0) pthread_cond_wait(&ctx->thread_cond, &ctx->mutex);
  pthread_mutex_unlock(&ctx->mutex);
  ctx->stop_flag.store(2);
  return nullptr;
}

void* worker_thread(void* arg) {
  EngineContext* ctx = static_cast<EngineContext*>(arg);
  block_sigpipe();

  int buf_size = static_cast<int>(option_as_int(ctx, MAX_REQUEST_SIZE, 16384));
  // The connection, its request buffer and the callbacks' copy of it are
  // one block: no request allocates.
  size_t buf_bytes = static_cast<size_t>(buf_size) + 1;
  void* block = std::calloc(1, sizeof(Connection) + 2 * buf_bytes);
  if (block == nullptr) {
    log_engine_error(ctx, "%s", "Cannot create new connection struct, OOM");
  } else {
    Connection* conn = static_cast<Connection*>(block);
    conn->buf = static_cast<char*>(block) + sizeof(Connection);
    conn->raw_copy = conn->buf + buf_bytes;
    conn->buf_size = buf_size;
    conn->ctx = ctx;
    while (consume_socket(ctx, &conn->client)) serve_connection(conn);
    std::free(block);
  }

  pthread_mutex_lock(&ctx->mutex);
  ctx->num_threads--;
  pthread_cond_signal(&ctx->thread_cond);
  pthread_mutex_unlock(&ctx->mutex);
  return nullptr;
}

}  // namespace

int start_threads(EngineContext* ctx) {
  pthread_mutex_init(&ctx->mutex, nullptr);
  pthread_cond_init(&ctx->thread_cond, nullptr);
  pthread_cond_init(&ctx->sq_full, nullptr);
  pthread_cond_init(&ctx->sq_empty, nullptr);
  ctx->sync_ready = 1;

  int err = pthread_create(&ctx->accept_thread, nullptr, accept_thread, ctx);
  if (err != 0) {
    log_engine_error(ctx, "Cannot start accept thread: %d", err);
    return -1;
  }
  ctx->accept_thread_started = 1;

  int64_t wanted = option_as_int(ctx, NUM_THREADS, 0);
  if (wanted < 1) return 0;
  ctx->worker_threads = static_cast<pthread_t*>(std::calloc(static_cast<size_t>(wanted), sizeof(pthread_t)));
  if (ctx->worker_threads == nullptr) {
    log_engine_error(ctx, "Cannot start worker thread: %d", ENOMEM);
    return 0;
  }
  for (int64_t i = 0; i < wanted; i++) {
    pthread_mutex_lock(&ctx->mutex);
    ctx->num_threads++;
    pthread_mutex_unlock(&ctx->mutex);
    err = pthread_create(&ctx->worker_threads[ctx->num_worker_threads], nullptr, worker_thread, ctx);
    if (err != 0) {
      pthread_mutex_lock(&ctx->mutex);
      ctx->num_threads--;
      pthread_mutex_unlock(&ctx->mutex);
      log_engine_error(ctx, "Cannot start worker thread: %d", err);
    } else {
      ctx->num_worker_threads++;
    }
  }
  return 0;
}

void stop_threads(EngineContext* ctx) {
  if (!ctx->sync_ready) return;
  pthread_mutex_lock(&ctx->mutex);
  ctx->stop_flag.store(1);
  pthread_cond_broadcast(&ctx->sq_full);
  pthread_cond_broadcast(&ctx->sq_empty);
  pthread_mutex_unlock(&ctx->mutex);
  trigger_wakeup(ctx);

  if (ctx->accept_thread_started) pthread_join(ctx->accept_thread, nullptr);
  for (int i = 0; i < ctx->num_worker_threads; i++) pthread_join(ctx->worker_threads[i], nullptr);
  ctx->num_worker_threads = 0;

  // Connections still queued are never served; they are closed, not leaked.
  for (int i = ctx->sq_tail; i < ctx->sq_head; i++) sys_close_socket(ctx->queue[i % CONNECTION_QUEUE_SIZE].sock);
  ctx->sq_tail = ctx->sq_head = 0;
  ctx->idle_workers = 0;
  ctx->unserved_connections.store(0);

  pthread_cond_destroy(&ctx->sq_empty);
  pthread_cond_destroy(&ctx->sq_full);
  pthread_cond_destroy(&ctx->thread_cond);
  pthread_mutex_destroy(&ctx->mutex);
  ctx->sync_ready = 0;
}
