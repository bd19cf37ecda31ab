// The accept thread, the connection queue and the worker pool.
#pragma once

#include "ostrel/engine/engine.h"

// Creates the mutex and conditions, then starts the accept thread and
// "num_threads" workers. Returns 0, or -1 when nothing could be started.
int start_threads(EngineContext* ctx);

// Requests the stop, waits for every thread, and closes what is still queued.
void stop_threads(EngineContext* ctx);
