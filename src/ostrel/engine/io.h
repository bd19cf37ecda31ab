// Socket and SSL input/output with the engine's time-outs.
#pragma once

#include <sys/types.h>

#include "ostrel/engine/engine.h"

// How long a request head may take from its first byte, and a body from
// its first read, each as a whole. 15 seconds; tests shorten it.
void mg_set_read_timeout_ms(int ms);
int read_timeout_ms();

// A client that accepts no data for this long fails the write.
enum { WRITE_TIMEOUT_MS = 15000 };

int64_t monotonic_ms();

// Reads at most LEN bytes, waiting only when none have arrived. DEADLINE_MS
// is on the monotonic clock; with STOP_AWARE a stopping engine ends the read.
// Returns the bytes read, 0 when the peer closed, -1 on error or time-out.
int pull(Connection* conn, char* buf, int len, int64_t deadline_ms, bool stop_aware);

// Waits until input is there to read (TLS: decrypted bytes count). Returns 1
// ready, 0 at the deadline or when the engine stops, -1 on error.
int wait_for_input(Connection* conn, int64_t deadline_ms);

// Reads at most LEN bytes of the request body of any method: the bytes
// buffered behind the head first, then from the socket. Returns the bytes
// read (0 once the body is complete), -1 when the client fails, or the
// body's deadline has passed.
int read_body(Connection* conn, void* buf, size_t len);

// Writes the whole block; returns the bytes written.
int64_t push(Connection* conn, const char* buf, int64_t len);
// The same, for a block that more data follows at once: the last partial
// frame waits for it instead of leaving alone.
int64_t push_before_more(Connection* conn, const char* buf, int64_t len);

// Reads LEN bytes of FD from OFFSET, fewer only at the end of the file.
// Returns the bytes read, -1 when none could be read.
ssize_t read_file_at(int fd, char* buf, size_t len, int64_t offset);
// Sends LEN bytes of the open file FD from OFFSET; returns the bytes sent.
int64_t push_file(Connection* conn, int fd, int64_t offset, int64_t len);

// Applies the engine's receive and send time-outs to a served socket, and
// sends small replies without waiting for acknowledgements.
void prepare_client_socket(int sock);
// The same options on a listener, whose accepted sockets inherit them.
// Returns the read time-out set, 0 when the options could not be set.
int prepare_listening_socket(int sock);
// Sets on an accepted socket what it did not inherit from its listener.
void prepare_accepted_socket(const SocketRecord* client);

// Holds back partial frames between a reply's head and body (plain sockets).
void set_corked(Connection* conn, int on);

// Signals every waiter of the engine that a stop has been requested.
int create_wakeup_pipe(EngineContext* ctx);
void trigger_wakeup(EngineContext* ctx);
