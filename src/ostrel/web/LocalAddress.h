#pragma once

#include <string>

#include "platform/TcpEndpoint.h"

// The host part of a "Host" header or URL authority is local when it is exactly
// "localhost" (any case), a dotted IPv4 literal in 127.0.0.0/8 or "[::1]", with
// any port.
bool isLocalHostName(const std::string& hostAndPort);

struct Connection;

// The client's and the server's end of a connection, the server's as the
// client reached it. False for a connection without a socket of either family.
bool connectionEnds(const Connection* connection, TcpEndpoint& client, TcpEndpoint& server);

// Whether this machine has the IPv6 loopback address at all: where it has
// none, no process can listen on it.
bool hasIPv6Loopback();
