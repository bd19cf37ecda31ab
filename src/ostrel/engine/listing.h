// Directories: index file substitution and the listing page.
#pragma once

#include <cstddef>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/path.h"

// Replaces the directory PATH by its first existing "index_files" entry
// inside the roots and returns 1, with FD open on it when the roots check
// opened it (else -1); returns 0 with PATH restored to the directory otherwise.
int substitute_index_file(Connection* conn, char* path, size_t path_len, FileStatus* st, int* fd);

void handle_directory_request(Connection* conn, const char* dir);

// Letters, digits and "._-$,;~()" stay, other bytes become "%xx"; with
// KEEP_SLASH "/" stays too. The result is cut to DST_LEN.
void url_encode(const char* src, char* dst, size_t dst_len, int keep_slash);
