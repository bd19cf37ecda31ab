#include "ostrel/web/ReplyHeads.h"

#include <string>

#include "ostrel/engine/engine.h"

namespace ReplyHeads {

const char* const kFramingHeaders =
    "Content-Security-Policy: frame-ancestors 'self'\r\nX-Frame-Options: SAMEORIGIN\r\n";

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
    case Fixed::BodyTooLarge:
      return "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
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

// The status the reply carries, for the access line when the request is done.
void markStatus(Connection* connection, int status) {
  if (connection) connection->request_info.status_code = status;
}

int statusOf(Fixed head) {
  switch (head) {
    case Fixed::Forbidden: return 403;
    case Fixed::LengthRequired: return 411;
    case Fixed::BodyTooLarge: return 413;
    case Fixed::NotAnUpgrade: return 400;
    case Fixed::Busy: return 503;
    default: return 500;
  }
}

}  // namespace

void writeFixed(Connection* connection, Fixed head) {
  markStatus(connection, statusOf(head));
  mg_send_formatted(connection, "%s", textOf(head));
  closeAfter(connection);
}

void writeRefererRefused(Connection* connection, const char* referer) {
  static const char kPrefix[] = "HTTP/1.1 500 Internal Server Error\r\nReferrer: ";
  static const char kSuffix[] = "\r\n\r\n";
  constexpr int kShown = kFormatBuffer - 1 - int(sizeof kPrefix - 1) - int(sizeof kSuffix - 1);
  markStatus(connection, 500);
  mg_send_formatted(connection, "%s%.*s%s", kPrefix, kShown, referer, kSuffix);
  closeAfter(connection);
}

namespace {

int statusOf(Message::Type type) {
  switch (type) {
    case Message::JsonError:
    case Message::XmlError: return 500;
    case Message::NotFound: return 404;
    default: return 200;
  }
}

// The head of a receiver's reply of this type; empty for a type with no reply.
std::string replyHead(Message::Type type, size_t bodyLength) {
  const std::string length = std::to_string(bodyLength);
  switch (type) {
    case Message::XmlReply:
      return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n";
    case Message::HtmlReply:
      return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n\r\n";
    case Message::JsonReply:
      return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/json; charset=utf-8\r\n\r\n";
    case Message::JsonError:
      return "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: " + length +
             "\r\nContent-Type: text/json; charset=utf-8\r\n\r\n";
    case Message::XmlError:
      return "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: " + length +
             "\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n";
    case Message::NotFound:
      return "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: " + length +
             "\r\nContent-Type: text/html; charset=utf-8\r\n" + kFramingHeaders + "\r\n";
    default:
      return "";
  }
}

// Head and body leave in one write: one segment on the wire for a small reply.
void sendWhole(Connection* connection, std::string head, const std::string& body, bool withBody) {
  if (withBody) head += body;
  mg_send(connection, head.data(), head.size());
  // Counted as the engine counts the files it sends: the body alone.
  if (connection && withBody) connection->num_bytes_sent += int64_t(body.size());
  closeAfter(connection);
}

}  // namespace

bool writeReply(Connection* connection, Message::Type type, const std::string& body, bool withBody) {
  std::string head = replyHead(type, body.size());
  if (head.empty()) return false;
  markStatus(connection, statusOf(type));
  sendWhole(connection, std::move(head), body, withBody);
  return true;
}

void writeServiceFailure(Connection* connection, const std::string& text) {
  markStatus(connection, 500);
  sendWhole(connection,
            "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n",
            text, true);
}

void writeEngineError(Connection* connection, int status) {
  markStatus(connection, status);
  mg_send_formatted(connection, "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", status,
                    reasonOf(status));
  closeAfter(connection);
}

}  // namespace ReplyHeads
