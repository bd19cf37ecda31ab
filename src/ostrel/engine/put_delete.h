// Storing and removing files: PUT and DELETE (after the authorisation check).
#pragma once

#include "ostrel/engine/engine.h"

// Creates the directories along PATH; a PATH ending in a separator stops
// there. Otherwise stores the request body in PATH, replacing the file only
// once the whole body has arrived; with "Content-Range" it is written into
// the file at the range's first byte instead.
void put_file(Connection* conn, const char* path);

void delete_file(Connection* conn, const char* path);

// Makes the missing directories of every component of PATH but the last.
// Returns 0, or -1 with errno set.
int put_dir(const char* path);
