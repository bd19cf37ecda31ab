// Serving one accepted connection: requests read, parsed and dispatched one
// after another while the connection is kept alive.
#pragma once

#include "ostrel/engine/engine.h"

// Serves CONN->client (set by the caller) and closes it.
void serve_connection(Connection* conn);
