#include "ostrel/web/ReplyHeads.h"

#include "ostrel/engine/engine.h"

namespace ReplyHeads {

namespace {

// The engine formats every head into a buffer of this size.
constexpr int kFormatBuffer = 512;

const char* textOf(Fixed head) {
  switch (head) {
    case Fixed::Forbidden:
      return "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\n"
             "Connection: close\r\n\r\n";
    case Fixed::RefererMissing:
      return "HTTP/1.1 500 Internal Server Error\r\nReferrer: is NULL\r\n\r\n";
    case Fixed::BadBodyLength:
      return "HTTP/1.1 500 Internal Server Error\r\n\r\n";
    case Fixed::NoMemoryOrNoUri:
      return "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\n"
             "Connection: close\r\n\r\n";
    case Fixed::LengthRequired:
      return "HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    case Fixed::NotAnUpgrade:
      return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    case Fixed::Busy:
      return "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  return "";
}

const char* reasonOf(int status) {
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

void closeAfter(Connection* connection) {
  if (connection) connection->must_close = 1;
}

}  // namespace

void writeFixed(Connection* connection, Fixed head) {
  mg_send_formatted(connection, "%s", textOf(head));
  closeAfter(connection);
}

void writeRefererRefused(Connection* connection, const char* referer) {
  static const char kPrefix[] = "HTTP/1.1 500 Internal Server Error\r\nReferrer: ";
  static const char kSuffix[] = "\r\n\r\n";
  constexpr int kShown = kFormatBuffer - 1 - int(sizeof kPrefix - 1) - int(sizeof kSuffix - 1);
  mg_send_formatted(connection, "%s%.*s%s", kPrefix, kShown, referer, kSuffix);
  closeAfter(connection);
}

void writeReply(Connection* connection, Message::Type type, size_t bodyLength) {
  switch (type) {
    case Message::XmlReply:
      mg_send_formatted(connection, "%s",
                        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n");
      break;
    case Message::HtmlReply:
      mg_send_formatted(connection, "%s",
                        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
      break;
    case Message::JsonReply:
      mg_send_formatted(connection, "%s",
                        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/json; charset=utf-8\r\n\r\n");
      break;
    case Message::JsonError:
      mg_send_formatted(connection,
                        "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: %d\r\n"
                        "Content-Type: text/json; charset=utf-8\r\n\r\n",
                        int(bodyLength));
      break;
    case Message::XmlError:
      mg_send_formatted(connection,
                        "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: %d\r\n"
                        "Content-Type: text/xml; charset=utf-8\r\n\r\n",
                        int(bodyLength));
      break;
    default:
      return;
  }
  closeAfter(connection);
}

void writeServiceFailure(Connection* connection, size_t bodyLength) {
  mg_send_formatted(connection,
                    "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\n"
                    "Content-Length: %d\r\nConnection: %s\r\n\r\n",
                    int(bodyLength), "close");
  closeAfter(connection);
}

void writeEngineError(Connection* connection, int status) {
  mg_send_formatted(connection, "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", status,
                    reasonOf(status));
  closeAfter(connection);
}

}  // namespace ReplyHeads
