#include "ostrel/channels/ChannelHandshake.h"

#include <strings.h>

#include <cstring>

#include "common/logging/LogRecord.h"
#include "ostrel/engine/engine.h"
#include "ostrel/web/ReplyHeads.h"
#include "ostrel/web/Socket.h"
#include "ostrel/channels/WebSocketProtocol.h"

using namespace WebSocketProtocol;

namespace {

void write(const Socket& request, const std::string& bytes) {
  mg_send(request.connection(), bytes.data(), bytes.size());
}

std::string headerAnyCase(const Socket& request, const std::string& name) {
  for (const auto& entry : request.headers())
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return entry.second;
  return "";
}

void answerRfc6455(const Socket& request, const std::string& key) {
  write(request, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
                     acceptKey(key) + "\r\n\r\n");
}

// The URI arrives decoded: bytes that would end the header line, or change
// what the location means, are encoded again.
std::string encodedPath(const std::string& uri) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : uri) {
    if (c <= 0x20 || c >= 0x7f || c == '%' || c == '?' || c == '#' || c == '"') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xf];
    } else {
      out += char(c);
    }
  }
  return out;
}

// Where the channel lives: its origin with "ws" for "http", or, for a client
// that names no origin, the host it asked for (which the gate found local).
std::string locationOf(const Socket& request, const std::string& origin, const std::string& uri) {
  if (!origin.empty()) return "ws" + origin.substr(4) + encodedPath(uri);
  std::string host = request.header("Host");
  if (host.empty()) host = "127.0.0.1";
  return "ws://" + host + encodedPath(uri);
}

void answerDraft(const Socket& request, const std::string& uri, const std::string& origin) {
  const std::string key1 = request.header("Sec-WebSocket-Key1");
  const std::string key2 = request.header("Sec-WebSocket-Key2");
  const std::string location = locationOf(request, origin, uri);
  const bool draft76 = !key1.empty() && !key2.empty() && countSpaces(key1) > 0 && countSpaces(key2) > 0;
  const std::string prefix = draft76 ? "Sec-WebSocket-" : "WebSocket-";
  std::string reply = "HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n";
  // A client without an origin has none to be told back.
  if (!origin.empty()) reply += prefix + "Origin: " + origin + "\r\n";
  reply += prefix + "Location: " + location + "\r\n\r\n";
  if (draft76)
    reply += draftAnswer(key1, key2, thirdKey(request.rawRequest(), request.requestLength(), request.dataLength()));
  write(request, reply);
}

}  // namespace

namespace ChannelHandshake {

bool answer(const Socket& request, const std::string& uri, WireProtocol& protocol) {
  const char* method = request.connection() ? request.connection()->request_info.request_method : nullptr;
  // Only a GET asks for a channel; any other method with an upgrade is no handshake.
  if (!method || std::strcmp(method, "GET") != 0 ||
      strcasecmp(headerAnyCase(request, "Upgrade").c_str(), "websocket") != 0) {
    // A plain request for a channel's address: no handshake is owed.
    ReplyHeads::writeFixed(request.connection(), ReplyHeads::Fixed::NotAnUpgrade);
    return false;
  }
  const std::string key = headerAnyCase(request, "Sec-WebSocket-Key");
  protocol = !key.empty() && headerAnyCase(request, "Sec-WebSocket-Version") == "13" ? WireProtocol::kRfc6455
                                                                                      : WireProtocol::kDraft;
  // Found in any case: an origin that a client spells otherwise must not pass
  // for a missing one.
  const std::string origin = headerAnyCase(request, "Origin");
  // Any page the browser shows could open a channel otherwise, and read the
  // user's events. A client that sends no origin is no page: a local program,
  // whose owner the gate has already checked.
  if (!origin.empty() && !request.namesThisServer(origin)) {
    OSTREL_LOG(LOG_WARNING) << "Refusing an event channel opened by a foreign origin.";
    ReplyHeads::writeFixed(request.connection(), ReplyHeads::Fixed::Forbidden);
    return false;
  }
  if (protocol == WireProtocol::kRfc6455) {
    answerRfc6455(request, key);
  } else {
    answerDraft(request, uri, origin);
  }
  return true;
}

void refuseBusy(const Socket& request) { ReplyHeads::writeFixed(request.connection(), ReplyHeads::Fixed::Busy); }

}  // namespace ChannelHandshake
