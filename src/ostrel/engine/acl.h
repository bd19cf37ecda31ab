// The address filter ("access_control_list").
#pragma once

#include <cstdint>

#include "ostrel/engine/engine.h"

// 1 when REMOTE_IP (host byte order) may connect, 0 when not, -1 when the
// list is malformed (reported).
int check_acl(EngineContext* ctx, uint32_t remote_ip);
