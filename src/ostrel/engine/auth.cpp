#include "ostrel/engine/auth.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/path.h"
#include "platform/Digest.h"

namespace {

constexpr size_t HASH_HEX_LEN = 32;

struct DigestCredentials {
  const char* username;
  const char* cnonce;
  const char* response;
  const char* uri;
  const char* qop;
  const char* nc;
  const char* nonce;
};

// Reads the name=value items behind "Digest " in BUF, in place. A quoted
// value may escape characters with "\".
void parse_digest_items(char* buf, DigestCredentials* cred) {
  char* s = buf;
  for (;;) {
    while (*s == ' ' || *s == ',') s++;
    if (*s == '\0') return;
    char* name = s;
    char* eq = std::strchr(s, '=');
    if (eq == nullptr) return;
    *eq = '\0';
    s = eq + 1;
    char* value;
    if (*s == '"') {
      value = ++s;
      char* out = s;
      while (*s != '\0' && *s != '"') {
        if (*s == '\\' && s[1] != '\0') s++;
        *out++ = *s++;
      }
      if (*s == '"') s++;
      *out = '\0';
      if (*s == ',') s++;
    } else {
      value = s;
      s += std::strcspn(s, ", ");
      if (*s != '\0') *s++ = '\0';
    }
    if (std::strcmp(name, "username") == 0) cred->username = value;
    else if (std::strcmp(name, "cnonce") == 0) cred->cnonce = value;
    else if (std::strcmp(name, "response") == 0) cred->response = value;
    else if (std::strcmp(name, "uri") == 0) cred->uri = value;
    else if (std::strcmp(name, "qop") == 0) cred->qop = value;
    else if (std::strcmp(name, "nc") == 0) cred->nc = value;
    else if (std::strcmp(name, "nonce") == 0) cred->nonce = value;
  }
}

// Splits a password file line "user:realm:ha1" in place; 0 or -1.
int parse_password_line(char* line, char** user, char** realm, char** ha1) {
  char* colon = std::strchr(line, ':');
  if (colon == nullptr || colon == line) return -1;
  *colon = '\0';
  *user = line;
  *realm = colon + 1;
  colon = std::strchr(*realm, ':');
  if (colon == nullptr || colon == *realm) return -1;
  *colon = '\0';
  *ha1 = colon + 1 + std::strspn(colon + 1, " \t");
  (*ha1)[std::strcspn(*ha1, " \t\r\n")] = '\0';
  return **ha1 != '\0' ? 0 : -1;
}

int check_password(const char* method, const char* ha1, const DigestCredentials* cred) {
  char ha2[HASH_HEX_LEN + 1];
  char expected[HASH_HEX_LEN + 1];
  mg_md5(ha2, method, ":", cred->uri, nullptr);
  mg_md5(expected, ha1, ":", cred->nonce, ":", cred->nc, ":", cred->cnonce, ":", cred->qop, ":", ha2, nullptr);
  return strcasecmp(cred->response, expected) == 0;
}

// The digest check of the request against the open password file FP.
int authorize(Connection* conn, FILE* fp) {
  RequestInfo* ri = &conn->request_info;
  const char* header = mg_find_header(conn, "Authorization");
  if (header == nullptr || strncasecmp(header, "Digest ", 7) != 0) return 0;
  char* copy = strdup(header + 7);
  if (copy == nullptr) return 0;

  DigestCredentials cred = {};
  parse_digest_items(copy, &cred);
  int authorized = 0;
  if (cred.username != nullptr) {
    std::free(ri->remote_user);
    ri->remote_user = strdup(cred.username);
    const char* realm = conn->ctx->config[AUTHENTICATION_DOMAIN];
    bool complete = cred.nonce != nullptr && cred.nc != nullptr && cred.cnonce != nullptr && cred.qop != nullptr &&
                    cred.uri != nullptr && cred.response != nullptr &&
                    std::strlen(cred.response) == HASH_HEX_LEN;
    char* line = nullptr;
    size_t line_cap = 0;
    while (complete && realm != nullptr && getline(&line, &line_cap, fp) > 0) {
      char* user;
      char* line_realm;
      char* ha1;
      if (parse_password_line(line, &user, &line_realm, &ha1) != 0) continue;
      if (std::strcmp(user, cred.username) == 0 && std::strcmp(line_realm, realm) == 0) {
        authorized = check_password(ri->request_method, ha1, &cred);
        break;
      }
    }
    std::free(line);
  }
  std::free(copy);
  return authorized;
}

// The ".htpasswd" of the directory PATH names, or of the one holding it.
int per_directory_password_file(const char* path, bool is_directory, char* out, size_t out_len) {
  size_t n = std::strlen(path);
  if (n == 0) return -1;
  while (n > 1 && (path[n - 1] == '/' || path[n - 1] == '\\')) n--;
  static const char name[] = ".htpasswd";
  if (!is_directory) {
    while (n > 0 && path[n - 1] != '/' && path[n - 1] != '\\') n--;
    if (n == 0) {
      if (sizeof(name) > out_len) return -1;
      std::memcpy(out, name, sizeof(name));
      return 0;
    }
    n--;
  }
  if (n + 1 + sizeof(name) > out_len) return -1;
  std::memcpy(out, path, n);
  out[n] = '/';
  std::memcpy(out + n + 1, name, sizeof(name));
  return 0;
}

// A stream only for a file that exists: most directories have none, and
// their requests allocate nothing.
FILE* open_password_file(const char* file) {
  int fd = mg_open(file, O_RDONLY);
  if (fd < 0) return nullptr;
  FILE* fp = fdopen(fd, "r");
  if (fp == nullptr) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return fp;
}

}  // namespace

void mg_md5(char out[33], ...) {
  static const char hex[] = "0123456789abcdef";
  digest::Md5Stream md5;
  va_list ap;
  va_start(ap, out);
  for (const char* s = va_arg(ap, const char*); s != nullptr; s = va_arg(ap, const char*)) {
    md5.add(s, std::strlen(s));
  }
  va_end(ap);
  const std::optional<digest::Md5> hash = md5.finish();
  if (!hash) {
    // No hash matches an empty text, so nothing is authorised by accident.
    out[0] = '\0';
    return;
  }
  static_assert(sizeof(digest::Md5) * 2 == HASH_HEX_LEN, "two hex digits a byte");
  const digest::Md5& bytes = *hash;
  for (size_t i = 0; i < bytes.size(); i++) {
    out[i * 2] = hex[bytes[i] >> 4];
    out[i * 2 + 1] = hex[bytes[i] & 0xf];
  }
  out[HASH_HEX_LEN] = '\0';
}

int check_authorization(Connection* conn, const char* path, const FileStatus* st) {
  EngineContext* ctx = conn->ctx;
  const char* uri = conn->request_info.uri;
  FILE* fp = nullptr;
  // Set when a password file is configured or present: unreadable, it must
  // not open the door.
  bool required = false;

  ListElement elem;
  const char* list = ctx->config[PROTECT_URI];
  while ((list = next_option_element(list, &elem)) != nullptr) {
    if (elem.eq_value == nullptr || std::strncmp(uri, elem.ptr, elem.len) != 0) continue;
    char file[PATH_BUF_SIZE];
    std::snprintf(file, sizeof(file), "%.*s", static_cast<int>(elem.eq_len), elem.eq_value);
    required = true;
    fp = mg_fopen(file, "r");
    if (fp == nullptr) log_error(conn, "%s: cannot open %s: %s", "check_authorization", file, std::strerror(errno));
    break;
  }

  if (!required) {
    const char* global = ctx->config[GLOBAL_PASSWORDS_FILE];
    if (global != nullptr) {
      required = true;
      fp = mg_fopen(global, "r");
      if (fp == nullptr) log_error(conn, "fopen(%s): %s", global, std::strerror(errno));
    } else {
      char file[PATH_BUF_SIZE];
      bool is_directory = st != nullptr && st->is_directory;
      if (per_directory_password_file(path, is_directory, file, sizeof(file)) == 0) {
        fp = open_password_file(file);
        if (fp == nullptr && errno != ENOENT && errno != ENOTDIR) {
          required = true;
          log_error(conn, "fopen(%s): %s", file, std::strerror(errno));
        }
      }
    }
  }

  if (fp == nullptr) return required ? 0 : 1;
  int authorized = authorize(conn, fp);
  std::fclose(fp);
  return authorized;
}

int is_authorized_for_put(Connection* conn) {
  const char* file = conn->ctx->config[PUT_DELETE_PASSWORDS_FILE];
  if (file == nullptr) return 0;
  FILE* fp = mg_fopen(file, "r");
  if (fp == nullptr) return 0;
  int authorized = authorize(conn, fp);
  std::fclose(fp);
  return authorized;
}
