#include "ostrel/engine/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ostrel/engine/log.h"

const OptionEntry config_options[NUM_OPTIONS] = {
    {"C", "cgi_pattern", "**.cgi$|**.pl$|**.php$"},
    {"E", "cgi_environment", nullptr},
    {"G", "put_delete_passwords_file", nullptr},
    {"I", "cgi_interpreter", nullptr},
    {"P", "protect_uri", nullptr},
    {"R", "authentication_domain", "ostrel.local"},
    {"S", "ssi_pattern", "**.shtml$|**.shtm$"},
    {"a", "access_log_file", nullptr},
    {"c", "ssl_chain_file", nullptr},
    {"d", "enable_directory_listing", "yes"},
    {"e", "error_log_file", nullptr},
    {"g", "global_passwords_file", nullptr},
    {"i", "index_files", "index.html,index.htm,index.cgi"},
    {"k", "enable_keep_alive", "no"},
    {"l", "access_control_list", nullptr},
    {"M", "max_request_size", "16384"},
    {"m", "extra_mime_types", nullptr},
    {"p", "listening_ports", "8080"},
    {"r", "document_root", "."},
    {"s", "ssl_certificate", nullptr},
    {"t", "num_threads", "10"},
    {"u", "run_as_user", nullptr},
    {"v", "ws_timeout", nullptr},
    {"v", "resp_coding", nullptr},
    {"w", "url_rewrite_patterns", nullptr},
    // Header lines sent with every file and listing, separated by line feeds.
    {"H", "extra_headers", ""},
};

int get_option_index(const char* name) {
  for (int i = 0; i < NUM_OPTIONS; i++) {
    if (std::strcmp(config_options[i].short_name, name) == 0 ||
        std::strcmp(config_options[i].long_name, name) == 0) {
      return i;
    }
  }
  return -1;
}

int set_options(EngineContext* ctx, const char** options) {
  for (const char** opt = options; opt != nullptr && opt[0] != nullptr; opt += 2) {
    const char* name = opt[0];
    const char* value = opt[1];
    int i = get_option_index(name);
    if (i == -1) {
      log_engine_error(ctx, "Invalid option: %s", name);
      return -1;
    }
    if (value == nullptr) {
      log_engine_error(ctx, "%s: option value cannot be NULL", name);
      return -1;
    }
    if (ctx->config[i] != nullptr) {
      log_engine_error(ctx, "%s: duplicate option", name);
      std::free(ctx->config[i]);
    }
    ctx->config[i] = strdup(value);
    if (ctx->config[i] == nullptr) {
      log_engine_error(ctx, "%s: %s", "set_options", std::strerror(errno));
      return -1;
    }
  }
  for (int i = 0; i < NUM_OPTIONS; i++) {
    if (ctx->config[i] == nullptr && config_options[i].default_value != nullptr) {
      ctx->config[i] = strdup(config_options[i].default_value);
      if (ctx->config[i] == nullptr) {
        log_engine_error(ctx, "%s: %s", "set_options", std::strerror(errno));
        return -1;
      }
    }
  }
  return 0;
}

int64_t option_as_int(const EngineContext* ctx, int index, int64_t fallback) {
  const char* value = ctx->config[index];
  if (value == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(value, &end, 10);
  if (end == value || errno == ERANGE) return fallback;
  return n;
}

const char* next_option_element(const char* list, ListElement* elem) {
  if (list == nullptr || *list == '\0') return nullptr;
  elem->ptr = list;
  const char* comma = std::strchr(list, ',');
  elem->len = comma ? static_cast<size_t>(comma - list) : std::strlen(list);
  list += elem->len;
  if (*list == ',') list++;
  const char* eq = static_cast<const char*>(std::memchr(elem->ptr, '=', elem->len));
  if (eq != nullptr) {
    elem->eq_value = eq + 1;
    elem->eq_len = elem->len - static_cast<size_t>(eq + 1 - elem->ptr);
    elem->len = static_cast<size_t>(eq - elem->ptr);
  } else {
    elem->eq_value = nullptr;
    elem->eq_len = 0;
  }
  return list;
}
