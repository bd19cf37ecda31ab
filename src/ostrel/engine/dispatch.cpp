#include "ostrel/engine/dispatch.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "ostrel/engine/auth.h"
#include "ostrel/engine/cgi.h"
#include "ostrel/engine/io.h"
#include "ostrel/engine/listing.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/match.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/parse.h"
#include "ostrel/engine/path.h"
#include "ostrel/engine/put_delete.h"
#include "ostrel/engine/ssi.h"
#include "ostrel/engine/static_files.h"

namespace {

// The engine's own heads are short; a longer one is cut, as the formatted
// sends of callbacks are.
const int MAX_ERROR_HEAD_SIZE = 512;

void vsend_http_error(Connection* conn, int status, const char* reason, const char* extra_headers, const char* fmt,
                      va_list ap) {
  conn->request_info.status_code = status;
  // Whatever the callback writes (possibly nothing) has no known end, unless
  // the callback clears must_close.
  int must_close = conn->must_close;
  conn->must_close = 1;
  if (call_user(conn, EVT_HTTP_ERROR) != nullptr) return;
  conn->must_close = must_close;

  char body[512];
  int len = 0;
  if (status > 199 && status != 204 && status != 304) {
    len = std::snprintf(body, sizeof(body), "Error %d: %s", status, reason);
    log_error(conn, "%s", body);
    if (len < static_cast<int>(sizeof(body)) - 1) {
      body[len++] = '\n';
      int n = std::vsnprintf(body + len, sizeof(body) - static_cast<size_t>(len), fmt, ap);
      if (n > 0) len += n;
    }
    if (len >= static_cast<int>(sizeof(body))) len = static_cast<int>(sizeof(body)) - 1;
  }
  const char* method = conn->request_info.request_method;
  bool is_head = method != nullptr && std::strcmp(method, "HEAD") == 0;
  // Head and body leave in one write.
  char reply[MAX_ERROR_HEAD_SIZE + sizeof(body)];
  int head_len = std::snprintf(reply, MAX_ERROR_HEAD_SIZE,
                               "HTTP/1.1 %d %s\r\n"
                               "Content-Type: text/plain\r\n"
                               "Content-Length: %d\r\n"
                               "Connection: %s\r\n"
                               "%s\r\n",
                               status, reason, len, suggest_connection_header(conn), extra_headers);
  if (head_len < 0) {
    log_error(conn, "vsnprintf error");
    return;
  }
  if (head_len >= MAX_ERROR_HEAD_SIZE) {
    log_error(conn, "truncating vsnprintf buffer: [%.*s]", 200, reply);
    head_len = MAX_ERROR_HEAD_SIZE - 1;
  }
  // A reply to HEAD carries no body, or the client would read it as the next reply.
  int body_len = is_head ? 0 : len;
  std::memcpy(reply + head_len, body, static_cast<size_t>(body_len));
  int64_t sent = push(conn, reply, head_len + body_len);
  if (sent > head_len) conn->num_bytes_sent += sent - head_len;
}

// Writes URI for a Location header: bytes that would end the header or change
// the meaning of the URI are percent-encoded again.
void encode_location(const char* uri, char* out, size_t out_len) {
  static const char hex[] = "0123456789abcdef";
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(uri); *p != 0 && n + 4 < out_len; p++) {
    if (*p <= 0x20 || *p >= 0x7f || *p == '%' || *p == '?' || *p == '#' || *p == '"') {
      out[n++] = '%';
      out[n++] = hex[*p >> 4];
      out[n++] = hex[*p & 0xf];
    } else {
      out[n++] = static_cast<char>(*p);
    }
  }
  out[n] = '\0';
}

bool ends_with_separator(const char* s) {
  size_t n = std::strlen(s);
  return n > 0 && (s[n - 1] == '/' || s[n - 1] == '\\');
}

void send_redirect_to_directory(Connection* conn) {
  char location[PATH_BUF_SIZE * 3];
  encode_location(conn->request_info.uri, location, sizeof(location));
  conn->request_info.status_code = 301;
  char head[sizeof(location) + 256];
  int n = std::snprintf(head, sizeof(head),
                        "HTTP/1.1 301 Moved Permanently\r\n"
                        "Location: %s/\r\n"
                        "Content-Length: 0\r\n"
                        "Connection: %s\r\n\r\n",
                        location, suggest_connection_header(conn));
  if (n > 0 && n < static_cast<int>(sizeof(head))) push(conn, head, n);
}

}  // namespace

void send_http_error(Connection* conn, int status, const char* reason, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsend_http_error(conn, status, reason, "", fmt, ap);
  va_end(ap);
}

void send_http_error_ex(Connection* conn, int status, const char* reason, const char* extra_headers,
                        const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsend_http_error(conn, status, reason, extra_headers, fmt, ap);
  va_end(ap);
}

int should_keep_alive(const Connection* conn) {
  const char* http_version = conn->request_info.http_version;
  const char* header = mg_find_header(conn, "Connection");
  const char* enabled = conn->ctx->config[ENABLE_KEEP_ALIVE];
  // A "Content-Length" that could not be read leaves the body's end unknown.
  bool body_end_known = conn->content_len >= 0 || mg_find_header(conn, "Content-Length") == nullptr;
  return conn->must_close == 0 && body_end_known && conn->request_info.status_code != 401 && enabled != nullptr &&
         strcasecmp(enabled, "yes") == 0 &&
         ((header != nullptr && strcasecmp(header, "keep-alive") == 0) ||
          (header == nullptr && http_version != nullptr && std::strcmp(http_version, "1.1") == 0));
}

const char* suggest_connection_header(const Connection* conn) {
  return should_keep_alive(conn) ? "Keep-Alive" : "close";
}

void send_authorization_request(Connection* conn) {
  conn->request_info.status_code = 401;
  mg_send_formatted(conn,
                    "HTTP/1.1 401 Unauthorized\r\n"
                    "Content-Length: 0\r\n"
                    "WWW-Authenticate: Digest qop=\"auth\", realm=\"%s\", nonce=\"%lu\"\r\n\r\n",
                    conn->ctx->config[AUTHENTICATION_DOMAIN], static_cast<unsigned long>(std::time(nullptr)));
}

void analyze_request(Connection* conn) {
  RequestInfo* ri = &conn->request_info;
  char path[PATH_BUF_SIZE];

  char* query = std::strchr(ri->uri, '?');
  if (query != nullptr) {
    *query++ = '\0';
    ri->query_string = query;
  }
  if (decode_request_path(ri->uri) != 0) {
    conn->must_close = 1;
    send_http_error(conn, 400, "Bad Request", "%s", "NUL byte in the request path");
    return;
  }

  int mapped = map_uri_to_path(conn->ctx->config[DOCUMENT_ROOT], ri->uri, path, sizeof(path));

  // A reply the callback writes has no end the engine knows of, unless the
  // callback clears must_close.
  conn->must_close = 1;
  if (call_user(conn, EVT_NEW_REQUEST) != nullptr) return;
  conn->must_close = 0;

  if (mapped == -2) {
    // Serving a cut path could serve another file: the request fails instead.
    log_error(conn, "truncating vsnprintf buffer: [%.*s]", 200, ri->uri);
  }

  FileStatus st;
  bool exists = mg_stat(path, &st) == 0;
  // A file is opened by the roots check on its way, and served from there.
  int fd = -1;
  if (!check_authorization(conn, path, exists ? &st : nullptr)) {
    send_authorization_request(conn);
  } else if (std::strcmp(ri->request_method, "OPTIONS") == 0) {
    ri->status_code = 200;
    mg_send_formatted(conn,
                      "HTTP/1.1 200 OK\r\n"
                      "Allow: GET, POST, HEAD, CONNECT, PUT, DELETE, OPTIONS\r\n"
                      "DAV: 1\r\n"
                      "Content-Length: 0\r\n\r\n");
  } else if (std::strstr(path, ".htpasswd") != nullptr) {
    send_http_error(conn, 403, "Forbidden", "%s", "Access Forbidden");
  } else if (conn->ctx->config[DOCUMENT_ROOT] == nullptr) {
    send_http_error(conn, 404, "Not Found", "%s", "Not Found");
  } else if (std::strcmp(ri->request_method, "PUT") == 0 || std::strcmp(ri->request_method, "DELETE") == 0) {
    if (conn->ctx->config[PUT_DELETE_PASSWORDS_FILE] == nullptr || !is_authorized_for_put(conn)) {
      send_authorization_request(conn);
    } else if (std::strcmp(ri->request_method, "PUT") == 0) {
      put_file(conn, path);
    } else {
      delete_file(conn, path);
    }
  } else if (!exists || check_inside_roots_and_open(conn->ctx->config[DOCUMENT_ROOT], path,
                                                     st.is_directory ? nullptr : &fd) != 0) {
    // A link that leads out of every root is as good as missing.
    send_http_error(conn, 404, "Not Found", "%s", "File not found");
  } else if (st.is_directory && !ends_with_separator(ri->uri)) {
    send_redirect_to_directory(conn);
  } else if (st.is_directory && !substitute_index_file(conn, path, sizeof(path), &st, &fd)) {
    const char* listing = conn->ctx->config[ENABLE_DIRECTORY_LISTING];
    if (listing != nullptr && strcasecmp(listing, "yes") == 0) {
      handle_directory_request(conn, path);
    } else {
      send_http_error(conn, 403, "Directory Listing Denied", "%s", "Directory listing denied");
    }
  } else if (is_cgi_path(conn->ctx, path)) {
    if (std::strcmp(ri->request_method, "POST") != 0 && std::strcmp(ri->request_method, "GET") != 0) {
      send_http_error(conn, 501, "Not Implemented", "Method %s is not implemented", ri->request_method);
    } else {
      handle_cgi_request(conn, path);
    }
  } else if (is_ssi_path(conn->ctx, path)) {
    handle_ssi_file_request(conn, path);
  } else {
    handle_file_request(conn, path, &st, fd);
  }
  if (fd >= 0) sys_close(fd);
}
