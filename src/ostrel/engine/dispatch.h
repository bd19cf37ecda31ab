// The dispatcher of a parsed request and the engine's error replies.
#pragma once

#include "ostrel/engine/engine.h"

// Sends the engine's error reply (after EVT_HTTP_ERROR, which may take it).
void send_http_error(Connection* conn, int status, const char* reason, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// The same with EXTRA_HEADERS ("Name: value\r\n" lines) in the head.
void send_http_error_ex(Connection* conn, int status, const char* reason, const char* extra_headers,
                        const char* fmt, ...) __attribute__((format(printf, 5, 6)));

// 1 when the connection is to be kept after this request.
int should_keep_alive(const Connection* conn);
// "Keep-Alive" or "close", from the same decision.
const char* suggest_connection_header(const Connection* conn);

// Sends the 401 digest challenge.
void send_authorization_request(Connection* conn);

// Handles one parsed request on an ordinary listener.
void analyze_request(Connection* conn);
