#include "ostrel/engine/body.h"

#include <strings.h>

#include "ostrel/engine/dispatch.h"
#include "ostrel/engine/io.h"

int forward_body_data(Connection* conn, body_sink_t sink, void* arg) {
  // Whatever part of the body is left unread cannot be told from the next
  // request: every failure closes the connection.
  if (conn->content_len < 0) {
    conn->must_close = 1;
    send_http_error(conn, 411, "Length Required", "%s", "");
    return 0;
  }
  const char* expect = mg_find_header(conn, "Expect");
  if (expect != nullptr) {
    if (strcasecmp(expect, "100-continue") != 0) {
      conn->must_close = 1;
      send_http_error(conn, 417, "Expectation Failed", "%s", "");
      return 0;
    }
    static const char cont[] = "HTTP/1.1 100 Continue\r\n\r\n";
    push(conn, cont, sizeof(cont) - 1);
  }

  char buf[8192];
  int64_t forwarded = 0;
  while (forwarded < conn->content_len) {
    int n = read_body(conn, buf, sizeof(buf));
    if (n <= 0) break;
    int64_t taken = sink(arg, buf, n);
    if (taken > 0) forwarded += taken;
    if (taken != n) break;
  }
  if (forwarded < conn->content_len) {
    conn->must_close = 1;
    send_http_error(conn, 577, "Internal Server Error", "%s", "");
    return 0;
  }
  return 1;
}
