// Sending files: content types, dates, entity tags and byte ranges.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/path.h"

// The content type of PATH: "extra_mime_types" first, then the built-in
// table, else "text/plain". TYPE is not NUL-terminated at LEN.
void get_mime_type(const EngineContext* ctx, const char* path, const char** type, size_t* len);

enum { GMT_TIME_SIZE = 40 };

// "Sun, 06 Nov 1994 08:49:37 GMT" for T in seconds since 1970, whatever
// the locale; empty when BUF_LEN is too short.
void gmt_time_string(char* buf, size_t buf_len, int64_t t);
// The same text for NOW, formatted again only when the second changes. The
// text belongs to the calling thread and holds until its next call.
const char* cached_gmt_time_string(int64_t now);

// Reads an HTTP-date in any of its three forms (IMF-fixdate, RFC 850,
// asctime). Returns 0 with T in seconds since 1970, or -1.
int parse_http_date(const char* text, int64_t* t);

enum { ETAG_SIZE = 40 };

// The entity tag of a file: weak, W/"<size hex>-<mtime in ns hex>", since
// the size and time say the content changed, not that bytes are the same.
void make_etag(const FileStatus* st, char* buf, size_t buf_len);
// 1 when an "If-None-Match" value is "*" or lists TAG (weak comparison:
// "W/" is ignored on both sides), else 0; a value that is no list of tags
// matches nothing from where it stops being one (a tag or "*" followed by
// anything but white space, a comma or the end).
int etag_list_matches(const char* list, const char* tag);

// Reads a "Range" value against a file of SIZE bytes.
// Returns 1 with FIRST..LAST (inclusive) to send, 0 when the header is to be
// ignored (not a single byte range), -1 when the range is unsatisfiable.
int parse_range_header(const char* value, int64_t size, int64_t* first, int64_t* last);

// Sends the file PATH of status ST, read from FD when that is open (the
// caller closes it), else opened here; "304 Not Modified" when the client's
// validators name this version of it.
void handle_file_request(Connection* conn, const char* path, const FileStatus* st, int fd);
