// The option table and typed access to option values.
#pragma once

#include "ostrel/engine/engine.h"

enum OptionIndex {
  CGI_EXTENSIONS,
  CGI_ENVIRONMENT,
  PUT_DELETE_PASSWORDS_FILE,
  CGI_INTERPRETER,
  PROTECT_URI,
  AUTHENTICATION_DOMAIN,
  SSI_EXTENSIONS,
  ACCESS_LOG_FILE,
  SSL_CHAIN_FILE,
  ENABLE_DIRECTORY_LISTING,
  ERROR_LOG_FILE,
  GLOBAL_PASSWORDS_FILE,
  INDEX_FILES,
  ENABLE_KEEP_ALIVE,
  ACCESS_CONTROL_LIST,
  MAX_REQUEST_SIZE,
  EXTRA_MIME_TYPES,
  LISTENING_PORTS,
  DOCUMENT_ROOT,
  SSL_CERTIFICATE,
  NUM_THREADS,
  RUN_AS_USER,
  WS_TIMEOUT,
  RESP_CODING,
  URL_REWRITE_PATTERNS,
  EXTRA_HEADERS,
  NUM_OPTIONS
};
static_assert(static_cast<int>(NUM_OPTIONS) == static_cast<int>(ENGINE_NUM_OPTIONS), "option table and context disagree");

// "extra_headers" may add this much to a reply head, line ends included.
enum { MAX_EXTRA_HEADERS_SIZE = 2048 };

struct OptionEntry {
  const char* short_name;
  const char* long_name;
  const char* default_value;  // null: none
};

extern const OptionEntry config_options[NUM_OPTIONS];

// First table entry whose short or long name equals NAME, or -1.
int get_option_index(const char* name);

// Stores the options and fills defaults; reports and returns -1 on an
// unknown name or a null value.
int set_options(EngineContext* ctx, const char** options);

// Decimal value of an option; FALLBACK when unset or not a number.
int64_t option_as_int(const EngineContext* ctx, int index, int64_t fallback);

// Iterates a comma-separated list: ELEM gets the next element, split at its
// first "=" when there is one. Returns the rest of the list, or null at the end.
struct ListElement {
  const char* ptr;
  size_t len;
  const char* eq_value;  // after "=", or null
  size_t eq_len;
};
const char* next_option_element(const char* list, ListElement* elem);
