#pragma once

#include <cstdint>
#include <string>

// The host part of a "Host" header or URL authority is local when it is exactly
// "localhost" (any case) or a dotted IPv4 literal in 127.0.0.0/8, with any port.
bool isLocalHostName(const std::string& hostAndPort);

// A Referer (or Origin) names this server as the browser reached it: "http", the
// dotted address and the port of the connection's local end (80 when the URL
// names none). Any other page is foreign: one of another program on the machine,
// another user's server on another loopback address or on "localhost" (which a
// browser may reach over IPv6, where this server does not listen), and of course
// "http://localhost.attacker.example/".
bool namesServer(const std::string& url, uint32_t address, uint16_t port);

struct Connection;

// The address and port of the connection's local end, as the client reached it.
// False for a connection without an IPv4 socket.
bool serverEnd(const Connection* connection, uint32_t& address, uint16_t& port);
