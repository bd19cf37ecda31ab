// Socket addresses of either family: their text, their port, and the listener
// specification "[IP_ADDRESS:]PORT[s|p]".
#pragma once

#include <cstddef>
#include <cstdint>

#include "ostrel/engine/engine.h"

// The address as text, "127.0.0.1" or "::1" (no brackets, no port); an empty
// text for an address of no family.
void address_to_text(const SocketAddress* address, char* buf, size_t buf_len);
// The port in host byte order; 0 for an address of no family.
uint16_t address_port(const SocketAddress* address);
// An IPv4 address, or an IPv6 address that only maps one (::ffff:a.b.c.d),
// sets IPV4 (host byte order) and gives 1; anything else gives 0.
int address_ipv4(const SocketAddress* address, uint32_t* ipv4);
// The request's remote_ip (0 for an IPv6 client) and remote_port.
void set_remote_address(RequestInfo* ri, const SocketAddress* remote);
// Reads "a.b.c.d:PORT", "[v6]:PORT" or "PORT" (every IPv4 address), each with
// an optional "s" (TLS) or "p" (proxy) flag. 0, or -1 for a malformed text.
int parse_listener_spec(const char* text, SocketAddress* address, int* is_ssl, int* is_proxy);
