// Server-side includes: files matching "ssi_pattern" are sent with their
// "<!--#include ...>" and "<!--#exec ...>" directives carried out.
#pragma once

#include "ostrel/engine/engine.h"

void handle_ssi_file_request(Connection* conn, const char* path);
