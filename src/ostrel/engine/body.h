// Passing a request body on to a file, a CGI program or a proxied server.
#pragma once

#include <cstdint>

#include "ostrel/engine/engine.h"

// Takes LEN bytes; returns the bytes it took (fewer stops the transfer).
typedef int64_t (*body_sink_t)(void* arg, const char* data, int len);

// Passes the whole request body ("Content-Length" bytes) to SINK, first
// answering "Expect: 100-continue". Returns 1 when all of it went through;
// 0 after an error reply: 411 without "Content-Length", 417 for another
// expectation, 577 when the client or the sink failed on the way.
int forward_body_data(Connection* conn, body_sink_t sink, void* arg);
