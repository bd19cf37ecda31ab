// Mapping URIs to file paths, and the check every file name goes through.
#pragma once

#include <cstdint>
#include <cstdio>

#include "ostrel/engine/engine.h"

enum { PATH_BUF_SIZE = 4096 };

// Maps a decoded, normalised URI onto the "document_root" value: a default
// root, then "PREFIX=DIRECTORY" aliases tried in order; a prefix matches whole
// path segments only.
// Returns 0; -1 when the chosen root is empty or the URI part would climb out
// of it (PATH is then empty); -2 when the path does not fit (PATH is empty).
int map_uri_to_path(const char* document_root, const char* uri, char* path, size_t path_len);

// The file-name check: separators unified and collapsed, trailing separators
// dropped; names ending in a space, ".", "+" or a byte >= 128, and names that
// are not valid UTF-8, become empty so that the access fails.
// Returns 0, or -1 when the name was rejected.
int to_native_path(const char* path, char* native, size_t native_len);

int is_valid_utf8(const char* s);

struct FileStatus {
  int is_directory;
  int64_t size;
  int64_t mtime;       // seconds since 1970
  int32_t mtime_nsec;  // and nanoseconds: edits within one second differ
};

// 0 and ST filled, or -1 when the path is missing or rejected.
int mg_stat(const char* path, FileStatus* st);
// Opened with close-on-exec, so that no child process inherits the file.
FILE* mg_fopen(const char* path, const char* mode);
// open(2) after the file-name check, with close-on-exec; -1 and errno on failure.
int mg_open(const char* path, int flags);
// The folder's entries, read with sys_readdir and closed with sys_closedir.
SysDir* mg_opendir(const char* path);
int mg_remove(const char* path);
int mg_mkdir(const char* path, int mode);

// 0 when PATH, with every symbolic link resolved, lies inside one of the
// directories of the "document_root" value (the default root and the alias
// directories); -1 with errno set otherwise (EACCES when it lies outside).
int check_inside_roots(const char* document_root, const char* path);
// The same check. FD gets PATH opened for reading (non-blocking, close-on-exec)
// when the check could open it on the way, for the caller to use and close;
// else -1.
int check_inside_roots_and_open(const char* document_root, const char* path, int* fd);
