// The patterns of "cgi_pattern" and "ssi_pattern".
#pragma once

#include <cstddef>

#include "ostrel/engine/engine.h"

// Matches STR from its start against PATTERN (PATTERN_LEN bytes): "|"
// separates alternatives, "?" is any one character, "*" a run without a
// separator ("/" or "\"), "**" any run, "$" the end of STR; runs are tried
// longest first. Returns the length matched, or -1. The first alternative
// that matches more than nothing wins; an empty pattern gives 0.
int match_prefix(const char* pattern, size_t pattern_len, const char* str);

// 1 when PATH matches the "cgi_pattern" / "ssi_pattern" option.
int is_cgi_path(const EngineContext* ctx, const char* path);
int is_ssi_path(const EngineContext* ctx, const char* path);
