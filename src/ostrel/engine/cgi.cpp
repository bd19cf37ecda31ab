#include "ostrel/engine/cgi.h"

#include "ostrel/engine/dispatch.h"

int is_cgi_path(Connection* conn, const char* path) {
  (void)conn;
  (void)path;
  return 0;
}

int is_ssi_path(Connection* conn, const char* path) {
  (void)conn;
  (void)path;
  return 0;
}

void handle_cgi_request(Connection* conn, const char* path) {
  (void)path;
  send_http_error(conn, 501, "Not Implemented", "%s", "CGI is not available");
}

void handle_ssi_file_request(Connection* conn, const char* path) {
  (void)path;
  send_http_error(conn, 501, "Not Implemented", "%s", "SSI is not available");
}

void put_file(Connection* conn, const char* path) {
  (void)path;
  send_http_error(conn, 501, "Not Implemented", "%s", "PUT is not available");
}

void handle_proxy_request(Connection* conn) {
  send_http_error(conn, 501, "Not Implemented", "%s", "Proxy forwarding is not available");
}
