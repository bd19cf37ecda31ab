#pragma once

// The system's table of TCP sockets with their owners, read from /proc/net/tcp
// and /proc/net/tcp6.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/TcpEndpoint.h"

struct TcpRow {
  TcpEndpoint local;
  TcpEndpoint remote;
  uid_t uid;  // owner of the socket
};

// Parses the text of /proc/net/tcp (or tcp6) and appends its rows; malformed
// lines and sockets that no process holds are skipped.
void parseTcpTable(const std::string& text, std::vector<TcpRow>& rows);

// Both tables of the running system; false when neither could be read.
bool readTcpTable(std::vector<TcpRow>& rows);
