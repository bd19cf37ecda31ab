// Request-head parsing and URI decoding: pure functions over buffers.
#pragma once

#include <cstddef>

#include "ostrel/engine/engine.h"

// Length of the head through the line feed that ends it; 0 while incomplete;
// -1 when a control byte other than CR, LF and HTAB came before any head end.
int get_request_len(const char* buf, int buf_len);

enum {
  PARSE_OK = 0,
  PARSE_BAD_REQUEST = -1,       // bad method, version or header line; a repeated header that must be single
  PARSE_TOO_MANY_HEADERS = -2,  // more header lines than RequestInfo keeps
};

// Splits a NUL-terminated head in place into method, URI, version and
// headers of RI. Returns one of the PARSE_ results; a head that is not
// PARSE_OK must be refused, never served from what was parsed of it.
int parse_http_request(char* buf, RequestInfo* ri);

// Reads "Name: value" lines from *BUF into the headers of RI to the first
// empty line or the end of the text; *BUF is left behind the last line read.
// Values lose their surrounding spaces and tabs. Returns PARSE_OK,
// PARSE_TOO_MANY_HEADERS beyond 64 lines, or PARSE_BAD_REQUEST for a name
// that is no token, white space before the colon or a CR inside a line.
int parse_http_headers(char** buf, RequestInfo* ri);

int is_valid_http_method(const char* method);

// "%XX" becomes the byte; with IS_FORM "+" becomes a space. Returns the
// decoded length, or -1 when DST (with its NUL) is too small.
int url_decode(const char* src, size_t src_len, char* dst, size_t dst_len, int is_form);

// Decodes the path URI in place and normalises it as below. Returns 0, or -1
// when a "%00" would end it early.
int decode_request_path(char* uri);

// Collapses separator runs and drops ".." right after a separator, in place,
// so that the URI can never climb above its root.
void remove_double_dots_and_double_slashes(char* s);
