// The TLS library, loaded by file name when a certificate is configured.
#pragma once

#include "ostrel/engine/engine.h"

// Loads the library, makes the server context and loads the certificate,
// key and chain. Returns 0, or -1 after reporting why start must fail.
int set_ssl_option(EngineContext* ctx);
void free_ssl_context(EngineContext* ctx);

// Server side of one connection; the handshake ends by DEADLINE_MS
// (monotonic clock). Returns the SSL object or null.
ssl_st* ssl_accept_connection(Connection* conn, int64_t deadline_ms);
void ssl_free_connection(ssl_st* ssl);
// Client side over the connected SOCK (the peer is not verified); null on
// failure or when the engine has no TLS.
ssl_st* ssl_connect_socket(EngineContext* ctx, int sock, int64_t deadline_ms);

int ssl_read(ssl_st* ssl, char* buf, int len);
int ssl_write(ssl_st* ssl, const char* buf, int len);
int ssl_pending(const ssl_st* ssl);
