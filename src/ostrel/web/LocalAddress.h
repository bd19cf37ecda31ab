#pragma once

#include <string>

// The host part of a "Host" header or URL authority is local when it is exactly
// "localhost" (any case) or a dotted IPv4 literal in 127.0.0.0/8, with any port.
bool isLocalHostName(const std::string& hostAndPort);

// A Referer (or Origin) is local when its scheme is "http" and its host is local:
// "http://localhost.attacker.example/" is not.
bool isLocalUrl(const std::string& url);
