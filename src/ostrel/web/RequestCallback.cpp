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
const char kLengthRequired[] = "HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kBareServerError[] = "HTTP/1.1 500 Internal Server Error\r\n\r\n";
const char kEmptyServerError[] =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

constexpr uint32_t kMaxBody = 10485760;
// The engine formats every reply head into a buffer of this size.
constexpr int kFormatBuffer = 512;
constexpr size_t kPiece = 250;

// Every reply of this gate is delimited by the end of the connection, so the
// engine must not keep it for another request.
void* answer(Connection* connection, const char* text) {
  mg_send_formatted(connection, "%s", text);
  connection->must_close = 1;
  return const_cast<char*>(kHandled);
}

bool isHead(const RequestInfo* request) {
  return request->request_method && std::strcmp(request->request_method, "HEAD") == 0;
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

// Every URI routed to the services or the files needs a local Referer, but
// "/" and other names without a dot, so that the store can be opened from its
// address; a channel checks its Origin in its handshake instead.
bool referrerCheckApplies(const std::string& uri) {
  return WebServer::referrerCheck() && uri.find('.') != std::string::npos && !MessageRouter::opensChannel(uri);
}

// The address and port the client connected to (host byte order): a listener
// on all addresses records 0.0.0.0, so the socket itself is asked.
bool serverEnd(const Connection* connection, uint32_t& address, uint16_t& port) {
  sockaddr_in server{};
  socklen_t length = sizeof server;
  if (getsockname(connection->client.sock, reinterpret_cast<sockaddr*>(&server), &length) != 0 ||
      server.sin_family != AF_INET)
    return false;
  address = ntohl(server.sin_addr.s_addr);
  port = ntohs(server.sin_port);
  return true;
}

// The client process must be of the same user or an administrator.
bool clientMayConnect(Connection* connection, const RequestInfo* request) {
  uint32_t address = 0;
  uint16_t port = 0;
  return serverEnd(connection, address, port) &&
         SecurityValidations::instance().validateConnection(request->remote_ip, uint32_t(request->remote_port), address,
                                                            port);
}

// The Referer must name this server as the browser reached it.
bool refererNamesServer(const Connection* connection, const char* referer) {
  uint32_t address = 0;
  uint16_t port = 0;
  return serverEnd(connection, address, port) && namesServer(referer, address, port);
}

// The kernel knows a socket's owner before the client has sent anything: a
// foreign process is refused before it can hold a worker with a slow head.
void* refuseForeignClient(Connection* connection, const RequestInfo* request) {
  if (clientMayConnect(connection, request)) return nullptr;
  // The reply is short enough for any socket buffer; the accept thread must not wait.
  mg_set_nonblocking(connection);
  mg_send(connection, kForbidden, sizeof kForbidden - 1);
  return const_cast<char*>(kHandled);
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 505: return "HTTP Version Not Supported";
    default: return status >= 500 ? "Internal Server Error" : status >= 400 ? "Bad Request" : "OK";
  }
}

// The engine's error pages would show the client its own request back:
// a status line alone tells the browser all it needs.
void* answerEngineError(Connection* connection, const RequestInfo* request) {
  mg_send_formatted(connection, "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                    request->status_code, reasonPhrase(request->status_code));
  connection->must_close = 1;
  return const_cast<char*>(kHandled);
}

// The Referer is echoed; cut so that the whole head fits the engine's
// formatting buffer and keeps its end.
void* refuseReferrer(Connection* connection, const char* referer) {
  static const char kPrefix[] = "HTTP/1.1 500 Internal Server Error\r\nReferrer: ";
  static const char kSuffix[] = "\r\n\r\n";
  constexpr int kShown = kFormatBuffer - 1 - int(sizeof kPrefix - 1) - int(sizeof kSuffix - 1);
  mg_send_formatted(connection, "%s%.*s%s", kPrefix, kShown, referer, kSuffix);
  connection->must_close = 1;
  return const_cast<char*>(kHandled);
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
    // A reply to HEAD is its head alone.
    if (!isHead(request)) sendInPieces(connection, body);
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

// The gate's steps for a new request: Host, client process, Referer, POST body.
void* admitRequest(Connection* connection, RequestInfo* request) {
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
    if (!refererNamesServer(connection, referer)) return refuseReferrer(connection, referer);
  }

  if (request->request_method && std::strcmp(request->request_method, "POST") == 0) {
    const char* lengthText = mg_find_header(connection, "Content-Length");
    // The body's end is unknown: a status line rather than no reply at all.
    if (!lengthText) return answer(connection, kLengthRequired);
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
  return serveRequest(connection, request, responseCoding, query, uri);
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
  // Only a new request runs the gate's steps: the other events come while
  // a request is being answered, and must neither write nor check again.
  switch (event) {
    case EVT_NEW_CONNECTION:
      return refuseForeignClient(connection, request);
    case EVT_NEW_REQUEST:
      return admitRequest(connection, request);
    case EVT_HTTP_ERROR:
      return answerEngineError(connection, request);
    default:
      logEngineMessage(event);
      return const_cast<char*>(kHandled);
  }
}
