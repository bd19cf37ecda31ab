// Authorisation of requests that the callback leaves to the engine.
#pragma once

#include "ostrel/engine/engine.h"

// 1 when the request for PATH may be served. No password file is read yet:
// every request counts as authorised, as when none is configured.
int check_authorization(Connection* conn, const char* path);

// 1 when the client may PUT or DELETE. Without the digest check nobody may.
int is_authorized_for_put(Connection* conn);
