// The address filter ("access_control_list").
#pragma once

#include <cstdint>

#include "ostrel/engine/engine.h"

// 1 when REMOTE may connect, 0 when not, -1 when the list is malformed
// (reported). Rules are "[+|-]a.b.c.d[/n]" or "[+|-]v6[/n]"; the last that
// matches decides, and a client that none matches is refused.
int check_acl(EngineContext* ctx, const SocketAddress* remote);
