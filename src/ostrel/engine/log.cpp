#include "ostrel/engine/log.h"

#include <inttypes.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ostrel/engine/address.h"
#include "ostrel/engine/options.h"

namespace {

// Serialises every write to the error and access log files of all engines.
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;

void vlog_error(Connection* conn, int err, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof(buf), fmt, ap);

  // A callback that writes while it handles a message could cause the next
  // one (a cut reply is reported): it never hears of that one.
  static thread_local bool reporting = false;
  void* handled = nullptr;
  if (!reporting) {
    reporting = true;
    conn->request_info.log_message = buf;
    conn->request_info.log_errno = err;
    handled = call_user(conn, EVT_LOG_MESSAGE);
    conn->request_info.log_message = nullptr;
    conn->request_info.log_errno = 0;
    reporting = false;
  }
  const char* file = conn->ctx->config[ERROR_LOG_FILE];
  if (handled != nullptr || file == nullptr) return;

  char addr[INET6_ADDRSTRLEN];
  address_to_text(&conn->client.remote_addr, addr, sizeof(addr));
  pthread_mutex_lock(&log_lock);
  FILE* fp = sys_fopen(file, "a");
  if (fp != nullptr) {
    std::fprintf(fp, "[%010lu] [error] [client %s] ", static_cast<unsigned long>(std::time(nullptr)), addr);
    if (conn->request_info.request_method != nullptr) {
      std::fprintf(fp, "%s %s: ", conn->request_info.request_method,
                   conn->request_info.uri != nullptr ? conn->request_info.uri : "");
    }
    std::fprintf(fp, "%s\n", buf);
    std::fclose(fp);
  }
  pthread_mutex_unlock(&log_lock);
}

}  // namespace

void* call_user(Connection* conn, mg_event event) {
  if (conn->ctx == nullptr || conn->ctx->user_callback == nullptr) return nullptr;
  conn->request_info.user_data = conn->ctx->user_data;
  return conn->ctx->user_callback(event, conn, &conn->request_info);
}

void log_error(Connection* conn, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog_error(conn, 0, fmt, ap);
  va_end(ap);
}

namespace {

void vlog_engine_error(EngineContext* ctx, int err, const char* fmt, va_list ap) {
  // Built per message, so that engines on other threads never share it.
  Connection* placeholder = new Connection();
  placeholder->ctx = ctx;
  placeholder->client.sock = -1;
  vlog_error(placeholder, err, fmt, ap);
  delete placeholder;
}

}  // namespace

void log_engine_error(EngineContext* ctx, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog_engine_error(ctx, 0, fmt, ap);
  va_end(ap);
}

void log_engine_errno(EngineContext* ctx, int err, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog_engine_error(ctx, err, fmt, ap);
  va_end(ap);
}

void log_access(Connection* conn) {
  const char* file = conn->ctx->config[ACCESS_LOG_FILE];
  if (file == nullptr) return;
  const RequestInfo* ri = &conn->request_info;

  char date[64];
  time_t birth = static_cast<time_t>(conn->birth_time);
  struct tm tm;
  if (localtime_r(&birth, &tm) == nullptr || std::strftime(date, sizeof(date), "%d/%b/%Y:%H:%M:%S %z", &tm) == 0) {
    date[0] = '\0';
  }
  char addr[INET6_ADDRSTRLEN];
  address_to_text(&conn->client.remote_addr, addr, sizeof(addr));
  const char* referer = mg_find_header(conn, "Referer");
  const char* agent = mg_find_header(conn, "User-Agent");

  pthread_mutex_lock(&log_lock);
  FILE* fp = sys_fopen(file, "a");
  if (fp != nullptr) {
    std::fprintf(fp, "%s - %s [%s] \"%s %s HTTP/%s\" %d %" PRId64, addr,
                 ri->remote_user != nullptr ? ri->remote_user : "-", date,
                 ri->request_method != nullptr ? ri->request_method : "-", ri->uri != nullptr ? ri->uri : "-",
                 ri->http_version != nullptr ? ri->http_version : "-", ri->status_code, conn->num_bytes_sent);
    if (referer != nullptr) {
      std::fprintf(fp, " \"%s\"", referer);
    } else {
      std::fputs(" -", fp);
    }
    if (agent != nullptr) {
      std::fprintf(fp, " \"%s\"", agent);
    } else {
      std::fputs(" -", fp);
    }
    std::fputc('\n', fp);
    std::fclose(fp);
  }
  pthread_mutex_unlock(&log_lock);
}
