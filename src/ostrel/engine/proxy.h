// Forwarding for listeners with the proxy flag: the request goes to the
// server its URI names ("http://host[:port]/path"), the answer comes back.
#pragma once

#include "ostrel/engine/engine.h"

void handle_proxy_request(Connection* conn);

// Splits a proxy URI into HOST (HOST_LEN bytes with the NUL), PORT (80 when
// absent) and the path behind them ("/" when empty). Returns 0, or -1 when
// there is no host or the port is not a port.
int parse_proxy_uri(const char* uri, char* host, size_t host_len, int* port, const char** rest);

// Closes and frees CONN->peer, if any.
void close_peer(Connection* conn);
