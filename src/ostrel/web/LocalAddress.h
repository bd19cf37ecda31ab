#pragma once

#include <cstdint>
#include <string>

// The host part of a "Host" header or URL authority is local when it is exactly
// "localhost" (any case) or a dotted IPv4 literal in 127.0.0.0/8, with any port.
bool isLocalHostName(const std::string& hostAndPort);

// A Referer (or Origin) names this server when its scheme is "http", its host
// is local and its port is `port` (80 when it names none): a page of another
// program on the same machine, or of another user, is not ours, and neither
// is "http://localhost.attacker.example/".
bool isLocalUrl(const std::string& url, uint16_t port);
