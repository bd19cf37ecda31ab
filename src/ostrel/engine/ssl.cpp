#include "ostrel/engine/ssl.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "ostrel/engine/io.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/path.h"

namespace {

const char* const SSL_LIB = SYS_SSL_LIBRARY;
const char* const CRYPTO_LIB = SYS_CRYPTO_LIBRARY;

// Values of the library's ABI.
const int SSL_FILETYPE_PEM = 1;
const int SSL_ERROR_WANT_READ = 2;
const int SSL_ERROR_WANT_WRITE = 3;
const uint64_t OPENSSL_INIT_LOAD_CRYPTO_STRINGS = 0x00000002L;
const uint64_t OPENSSL_INIT_LOAD_SSL_STRINGS = 0x00200000L;

struct ssl_method_st;

struct SslFunctions {
  void (*SSL_free)(ssl_st*);
  int (*SSL_accept)(ssl_st*);
  int (*SSL_connect)(ssl_st*);
  int (*SSL_read)(ssl_st*, void*, int);
  int (*SSL_write)(ssl_st*, const void*, int);
  int (*SSL_get_error)(const ssl_st*, int);
  int (*SSL_set_fd)(ssl_st*, int);
  ssl_st* (*SSL_new)(ssl_ctx_st*);
  ssl_ctx_st* (*SSL_CTX_new)(const ssl_method_st*);
  const ssl_method_st* (*TLS_server_method)(void);
  const ssl_method_st* (*TLS_client_method)(void);
  int (*OPENSSL_init_ssl)(uint64_t, const void*);
  int (*SSL_CTX_use_PrivateKey_file)(ssl_ctx_st*, const char*, int);
  int (*SSL_CTX_use_certificate_file)(ssl_ctx_st*, const char*, int);
  void (*SSL_CTX_set_default_passwd_cb)(ssl_ctx_st*, void*);
  void (*SSL_CTX_free)(ssl_ctx_st*);
  int (*SSL_CTX_use_certificate_chain_file)(ssl_ctx_st*, const char*);
  int (*SSL_pending)(const ssl_st*);
  unsigned long (*ERR_get_error)(void);
  char* (*ERR_error_string)(unsigned long, char*);
};

struct NamedFunction {
  const char* name;
  void** slot;
};

SslFunctions fn;
// Guards loading; once loaded the table is only read.
pthread_mutex_t load_lock = PTHREAD_MUTEX_INITIALIZER;
bool loaded = false;

template <typename T>
void** slot(T& f) {
  return reinterpret_cast<void**>(&f);
}

int load_dll(EngineContext* ctx, const char* dll_name, const NamedFunction* functions) {
  char native[PATH_BUF_SIZE];
  to_native_path(dll_name, native, sizeof(native));
  // Libraries stay loaded for the life of the process: the library cannot be
  // unloaded safely once initialised.
  void* handle = sys_load_library(native);
  if (handle == nullptr) {
    log_engine_error(ctx, "%s: cannot load %s", "load_dll", dll_name);
    return -1;
  }
  for (const NamedFunction* f = functions; f->name != nullptr; f++) {
    void* address = sys_library_symbol(handle, f->name);
    if (address == nullptr) {
      log_engine_error(ctx, "%s: %s: cannot find %s", "load_dll", dll_name, f->name);
      return -1;
    }
    *f->slot = address;
  }
  return 0;
}

int load_ssl_library(EngineContext* ctx) {
  const NamedFunction ssl_functions[] = {
      {"SSL_free", slot(fn.SSL_free)},
      {"SSL_accept", slot(fn.SSL_accept)},
      {"SSL_connect", slot(fn.SSL_connect)},
      {"SSL_read", slot(fn.SSL_read)},
      {"SSL_write", slot(fn.SSL_write)},
      {"SSL_get_error", slot(fn.SSL_get_error)},
      {"SSL_set_fd", slot(fn.SSL_set_fd)},
      {"SSL_new", slot(fn.SSL_new)},
      {"SSL_CTX_new", slot(fn.SSL_CTX_new)},
      {"TLS_server_method", slot(fn.TLS_server_method)},
      {"TLS_client_method", slot(fn.TLS_client_method)},
      {"OPENSSL_init_ssl", slot(fn.OPENSSL_init_ssl)},
      {"SSL_CTX_use_PrivateKey_file", slot(fn.SSL_CTX_use_PrivateKey_file)},
      {"SSL_CTX_use_certificate_file", slot(fn.SSL_CTX_use_certificate_file)},
      {"SSL_CTX_set_default_passwd_cb", slot(fn.SSL_CTX_set_default_passwd_cb)},
      {"SSL_CTX_free", slot(fn.SSL_CTX_free)},
      {"SSL_CTX_use_certificate_chain_file", slot(fn.SSL_CTX_use_certificate_chain_file)},
      {"SSL_pending", slot(fn.SSL_pending)},
      {nullptr, nullptr},
  };
  const NamedFunction crypto_functions[] = {
      {"ERR_get_error", slot(fn.ERR_get_error)},
      {"ERR_error_string", slot(fn.ERR_error_string)},
      {nullptr, nullptr},
  };
  pthread_mutex_lock(&load_lock);
  int result = 0;
  if (!loaded) {
    SslFunctions backup = fn;
    if (load_dll(ctx, SSL_LIB, ssl_functions) != 0 || load_dll(ctx, CRYPTO_LIB, crypto_functions) != 0) {
      fn = backup;
      result = -1;
    } else {
      loaded = true;
    }
  }
  pthread_mutex_unlock(&load_lock);
  return result;
}

// The library's latest error text; empty when there is none.
struct SslErrorText {
  char text[256];  // the size the library requires
};
const char* ssl_error(SslErrorText* buf) {
  unsigned long err = fn.ERR_get_error();
  if (err == 0) return "";
  return fn.ERR_error_string(err, buf->text);
}

}  // namespace

int set_ssl_option(EngineContext* ctx) {
  const char* pem = ctx->config[SSL_CERTIFICATE];
  if (pem == nullptr) return 0;
  if (load_ssl_library(ctx) != 0) return -1;

  fn.OPENSSL_init_ssl(0, nullptr);
  fn.OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  SslErrorText err;
  ssl_ctx_st* ssl_ctx = fn.SSL_CTX_new(fn.TLS_server_method());
  if (ssl_ctx == nullptr) {
    log_engine_error(ctx, "SSL_CTX_new error: %s", ssl_error(&err));
    // Start goes on; an "s" listener then fails.
    return 0;
  }
  if (ctx->user_callback != nullptr) {
    Connection* conn = new Connection();
    conn->request_info.user_data = ctx->user_data;
    ctx->user_callback(EVT_INIT_SSL, reinterpret_cast<Connection*>(ssl_ctx), &conn->request_info);
    delete conn;
  }
  const char* chain = ctx->config[SSL_CHAIN_FILE];
  if (fn.SSL_CTX_use_certificate_file(ssl_ctx, pem, SSL_FILETYPE_PEM) != 1) {
    log_engine_error(ctx, "%s: cannot open %s: %s", "set_ssl_option", pem, ssl_error(&err));
  } else if (fn.SSL_CTX_use_PrivateKey_file(ssl_ctx, pem, SSL_FILETYPE_PEM) != 1) {
    log_engine_error(ctx, "%s: cannot open %s: %s", "set_ssl_option", pem, ssl_error(&err));
  } else if (chain != nullptr && fn.SSL_CTX_use_certificate_chain_file(ssl_ctx, chain) != 1) {
    log_engine_error(ctx, "%s: cannot open %s: %s", "set_ssl_option", chain, ssl_error(&err));
  } else {
    ctx->ssl_ctx = ssl_ctx;
    ctx->ssl_client_ctx = fn.SSL_CTX_new(fn.TLS_client_method());
    return 0;
  }
  fn.SSL_CTX_free(ssl_ctx);
  return -1;
}

void free_ssl_context(EngineContext* ctx) {
  if (ctx->ssl_ctx != nullptr) fn.SSL_CTX_free(ctx->ssl_ctx);
  ctx->ssl_ctx = nullptr;
  if (ctx->ssl_client_ctx != nullptr) fn.SSL_CTX_free(ctx->ssl_client_ctx);
  ctx->ssl_client_ctx = nullptr;
}

namespace {

// Runs the handshake (accept or connect) non-blocking, so that a silent peer
// cannot hold the worker beyond the deadline.
ssl_st* handshake(EngineContext* ctx, ssl_ctx_st* ssl_ctx, int sock, bool server, int64_t deadline_ms) {
  ssl_st* ssl = fn.SSL_new(ssl_ctx);
  if (ssl == nullptr) return nullptr;
  if (fn.SSL_set_fd(ssl, sock) != 1) {
    fn.SSL_free(ssl);
    return nullptr;
  }
  // Served and outgoing sockets are blocking; they are again after it.
  sys_set_nonblocking(sock, true);
  bool ok = false;
  for (;;) {
    int r = server ? fn.SSL_accept(ssl) : fn.SSL_connect(ssl);
    if (r == 1) {
      ok = true;
      break;
    }
    int err = fn.SSL_get_error(ssl, r);
    short events = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) break;
    SysPollFd fds[2] = {{sock, events, 0}, {ctx->wakeup_pipe[0], POLLIN, 0}};
    int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0) break;
    int n = sys_poll(fds, 2, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    if (n > 0 && fds[1].revents != 0) break;
  }
  sys_set_nonblocking(sock, false);
  if (!ok) {
    fn.SSL_free(ssl);
    return nullptr;
  }
  return ssl;
}

}  // namespace

ssl_st* ssl_accept_connection(Connection* conn, int64_t deadline_ms) {
  return handshake(conn->ctx, conn->ctx->ssl_ctx, conn->client.sock, true, deadline_ms);
}

ssl_st* ssl_connect_socket(EngineContext* ctx, int sock, int64_t deadline_ms) {
  if (ctx->ssl_client_ctx == nullptr) return nullptr;
  return handshake(ctx, ctx->ssl_client_ctx, sock, false, deadline_ms);
}

void ssl_free_connection(ssl_st* ssl) {
  if (ssl != nullptr) fn.SSL_free(ssl);
}

int ssl_read(ssl_st* ssl, char* buf, int len) { return fn.SSL_read(ssl, buf, len); }
int ssl_write(ssl_st* ssl, const char* buf, int len) { return fn.SSL_write(ssl, buf, len); }
int ssl_pending(const ssl_st* ssl) { return fn.SSL_pending(ssl); }
