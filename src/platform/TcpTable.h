#pragma once

// The system's table of TCP sockets with their owners: /proc/net/tcp and
// /proc/net/tcp6 on Linux, the IP helper's IPv4 and IPv6 tables with their
// owning processes on Windows.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/TcpEndpoint.h"
#include "platform/UserAccounts.h"

struct TcpRow {
  TcpEndpoint local;
  TcpEndpoint remote;
  SocketOwnerId owner;  // the socket's user (Linux) or process (Windows)
};

// Both tables of the running system; false when neither could be read.
// Sockets that no process holds (those waiting out their time) are left out.
bool readTcpTable(std::vector<TcpRow>& rows);

#ifndef _WIN32
// Parses the text of /proc/net/tcp (or tcp6) and appends its rows; malformed
// lines and sockets that no process holds are skipped.
void parseTcpTable(const std::string& text, std::vector<TcpRow>& rows);
#endif
