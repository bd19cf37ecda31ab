// Socket and SSL input/output with the engine's time-outs.
#pragma once

#include "ostrel/engine/engine.h"

// How long a request head may take, and how long a body read may stall.
// 15 seconds; tests shorten it.
void mg_set_read_timeout_ms(int ms);
int read_timeout_ms();

// A client that accepts no data for this long fails the write.
enum { WRITE_TIMEOUT_MS = 15000 };

int64_t monotonic_ms();

// Reads at most LEN bytes. DEADLINE_MS is on the monotonic clock; with
// STOP_AWARE the wait also ends when the engine is stopping.
// Returns the bytes read, 0 when the peer closed, -1 on error or time-out.
int pull(Connection* conn, char* buf, int len, int64_t deadline_ms, bool stop_aware);

// Reads at most LEN bytes of the request body of any method: the bytes
// buffered behind the head first, then from the socket. Returns the bytes
// read (0 once the body is complete), -1 when the client fails or stalls.
int read_body(Connection* conn, void* buf, size_t len);

// Writes the whole block; returns the bytes written.
int64_t push(Connection* conn, const char* buf, int64_t len);

// Applies the engine's receive and send time-outs to a served socket, and
// sends small replies without waiting for acknowledgements.
void prepare_client_socket(int sock);

// Holds back partial frames between a reply's head and body (plain sockets).
void set_corked(Connection* conn, int on);

// Signals every waiter of the engine that a stop has been requested.
int create_wakeup_pipe(EngineContext* ctx);
void trigger_wakeup(EngineContext* ctx);
