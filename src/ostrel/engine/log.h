// The error log, the access log and calls into the request callback.
#pragma once

#include "ostrel/engine/engine.h"

// Calls the request callback (if any) with the engine's user data set.
void* call_user(Connection* conn, mg_event event);

// Reports a message: the callback's EVT_LOG_MESSAGE first, then the
// "error_log_file" when the callback did not take it.
void log_error(Connection* conn, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same for messages that belong to no connection.
void log_engine_error(EngineContext* ctx, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same, telling the callback the system error (errno) behind the message.
void log_engine_errno(EngineContext* ctx, int err, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// One line in the "access_log_file" for the current request.
void log_access(Connection* conn);

