#pragma once

// The IP helper's TCP tables with their owning processes, for TcpTable.cpp
// and SocketOwner.cpp.

#include <vector>

#include "platform/TcpTable.h"

namespace win32 {

// Every row of the table of one family (AF_INET or AF_INET6), those without
// an owning process (id 0: waiting out their time, or, under wine, held by a
// program that is no Windows process) included. False when the table could
// not be read.
bool readTcpRows(int family, std::vector<TcpRow>& rows);

}  // namespace win32
