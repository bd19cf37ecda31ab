#pragma once

#include <string>
#include <vector>

#include "ostrel/engine/engine.h"

// The single gate of the web front: every engine event passes through here.
// Returns the non-null marker when the event has been dealt with, null when the
// engine is to carry on (serve the file).
void* ostrelRequestCallback(mg_event event, Connection* connection, RequestInfo* request);

// A reply body as the pieces it is written in: 250 bytes each, the last shorter,
// so the engine's 512-byte formatting buffer never cuts one.
std::vector<std::string> replyPieces(const std::string& body);

// The marker returned for handled events.
extern const char kHandled[];
