#include "ostrel/web/RequestCallback.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "common/logging/LogRecord.h"
#include "ostrel/web/LocalAddress.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/SecurityValidations.h"
#include "ostrel/web/WebServer.h"

const char kHandled[] = "OK";

namespace {

const char kForbidden[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kBareServerError[] = "HTTP/1.1 500 Internal Server Error\r\n\r\n";
const char kEmptyServerError[] =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

constexpr uint32_t kMaxBody = 10485760;
constexpr size_t kPiece = 250;

// Every reply of this gate is delimited by the end of the connection, so the
// engine must not keep it for another request.
void* answer(Connection* connection, const char* text) {
  mg_send_formatted(connection, "%s", text);
  connection->must_close = 1;
  return const_cast<char*>(kHandled);
}

void sendInPieces(Connection* connection, const std::string& body) {
  for (const std::string& piece : replyPieces(body)) mg_send_formatted(connection, "%s", piece.c_str());
}

// The whole text must be an unsigned 32-bit decimal number.
bool parseContentLength(const char* text, uint32_t& length) {
  if (!text || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
  length = uint32_t(value);
  return true;
}

bool referrerCheckApplies(const std::string& uri) {
  size_t dot = uri.rfind('.');
  return WebServer::referrerCheck() && dot != std::string::npos && uri.substr(dot + 1) != "ws";
}

// The client process must be of the same user or an administrator. The server's
// end is read from the socket: a listener on all addresses records 0.0.0.0.
bool clientMayConnect(Connection* connection, const RequestInfo* request) {
  sockaddr_in server{};
  socklen_t length = sizeof server;
  if (getsockname(connection->client.sock, reinterpret_cast<sockaddr*>(&server), &length) != 0 ||
      server.sin_family != AF_INET)
    return false;
  return SecurityValidations::instance().validateConnection(request->remote_ip, uint32_t(request->remote_port),
                                                            ntohl(server.sin_addr.s_addr), ntohs(server.sin_port));
}

void logEngineMessage(mg_event event) {
  if (event == EVT_LOG_MESSAGE) OSTREL_LOG(LOG_ERROR) << "Internal Server Error: ";
}

// Steps for a new request once the client and the request are admitted.
void* serveRequest(Connection* connection, RequestInfo* request, int responseCoding, const std::string& query,
                   const std::string& uri) {
  try {
    auto socket = std::make_shared<Socket>(connection, mg_ws_timeout(connection));
    socket->setRequestData(request->raw_request ? request->raw_request : "", request->request_len,
                           request->data_len);
    for (int i = 0; i < MAX_REQUEST_HEADERS; ++i)
      if (request->http_headers[i].name)
        socket->addHeader(request->http_headers[i].name,
                          request->http_headers[i].value ? request->http_headers[i].value : "");
    if (!request->uri) return answer(connection, kEmptyServerError);

    MessageRouter router;
    router.setResponseCoding(responseCoding);
    MessagePtr message = router.route(query, uri, socket);
    const std::string& body = message ? message->body() : std::string();
    switch (message ? message->type() : Message::TakenOver) {
      case Message::XmlReply:
        answer(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n");
        break;
      case Message::HtmlReply:
        answer(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
        break;
      case Message::JsonReply:
        answer(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/json; charset=utf-8\r\n\r\n");
        break;
      case Message::JsonError:
        mg_send_formatted(connection,
                          "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: %d\r\n"
                          "Content-Type: text/json; charset=utf-8\r\n\r\n",
                          int(body.size()));
        connection->must_close = 1;
        break;
      case Message::XmlError:
        mg_send_formatted(connection,
                          "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: %d\r\n"
                          "Content-Type: text/xml; charset=utf-8\r\n\r\n",
                          int(body.size()));
        connection->must_close = 1;
        break;
      case Message::StaticResource:
        return nullptr;
      default:
        return const_cast<char*>(kHandled);
    }
    sendInPieces(connection, body);
  } catch (const std::exception& error) {
    std::string text = error.what();
    mg_send_formatted(connection,
                      "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\n"
                      "Content-Length: %d\r\nConnection: %s\r\n\r\n",
                      int(text.size()), "close");
    connection->must_close = 1;
    sendInPieces(connection, text);
  }
  return const_cast<char*>(kHandled);
}

}  // namespace

std::vector<std::string> replyPieces(const std::string& body) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < body.size(); at += kPiece) pieces.push_back(body.substr(at, kPiece));
  return pieces;
}

void* ostrelRequestCallback(mg_event event, Connection* connection, RequestInfo* request) {
  if (request->remote_ip == 0) {
    logEngineMessage(event);
    return const_cast<char*>(kHandled);
  }
  // Everything that follows answers or reads the request; once it has been
  // served there is nothing left to do.
  if (event == EVT_REQUEST_DONE) return const_cast<char*>(kHandled);

  // A page of a foreign site that had its name pointed at 127.0.0.1 (DNS
  // rebinding) names that site in "Host".
  const char* host = mg_find_header(connection, "Host");
  if (host && !isLocalHostName(host)) return answer(connection, kForbidden);

  if (!clientMayConnect(connection, request)) return answer(connection, kForbidden);

  const int responseCoding = mg_resp_coding(connection);
  std::string query = request->query_string ? request->query_string : "";
  const std::string uri = request->uri ? request->uri : "";

  if (referrerCheckApplies(uri)) {
    const char* referer = mg_find_header(connection, "Referer");
    if (!referer) return answer(connection, "HTTP/1.1 500 Internal Server Error\r\nReferrer: is NULL\r\n\r\n");
    if (!isLocalUrl(referer)) {
      mg_send_formatted(connection, "HTTP/1.1 500 Internal Server Error\r\nReferrer: %s\r\n\r\n", referer);
      connection->must_close = 1;
      return const_cast<char*>(kHandled);
    }
  }

  if (request->request_method && std::strcmp(request->request_method, "POST") == 0) {
    const char* lengthText = mg_find_header(connection, "Content-Length");
    if (!lengthText) return const_cast<char*>(kHandled);
    uint32_t length = 0;
    if (!parseContentLength(lengthText, length) || length > kMaxBody) return answer(connection, kBareServerError);
    std::vector<char> body;
    try {
      body.resize(size_t(length) + 1, '\0');
    } catch (const std::bad_alloc&) {
      return answer(connection, kEmptyServerError);
    }
    int read = mg_read_body(connection, body.data(), length);
    body[read > 0 ? size_t(read) : 0] = '\0';
    if (!query.empty()) query += "&";
    query += body.data();
  }

  if (event != EVT_NEW_REQUEST) {
    logEngineMessage(event);
    // No engine error reply follows (a missing file gets none), so the
    // connection must end for the client not to wait for one.
    if (event == EVT_HTTP_ERROR) connection->must_close = 1;
    return const_cast<char*>(kHandled);
  }
  return serveRequest(connection, request, responseCoding, query, uri);
}
