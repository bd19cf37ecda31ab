#pragma once

// The wire pieces of event channels: the handshake answers of the early drafts
// (keys and MD5) and of RFC 6455 (SHA-1 and base64), and the frames of both.

#include <cstdint>
#include <string>

namespace WebSocketProtocol {

// The early drafts' key number: every decimal digit of the key in order, read as
// an unsigned 32-bit number (saturating), divided by the key's count of spaces.
// 0 for a key without spaces.
uint32_t keyNumber(const std::string& key);
int countSpaces(const std::string& key);

// The eight bytes behind the request head, or eight 0xFF bytes when fewer are there.
std::string thirdKey(const std::string& rawRequest, int requestLength, int dataLength);

// MD5 of the two key numbers (big-endian) and the third key: 16 raw bytes.
std::string draftAnswer(const std::string& key1, const std::string& key2, const std::string& key3);

// "Sec-WebSocket-Accept" for a "Sec-WebSocket-Key".
std::string acceptKey(const std::string& key);

// Early drafts: 0x00, the text, 0xFF.
std::string draftFrame(const std::string& text);

// RFC 6455 server frames, never masked.
enum Opcode : uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};
std::string frame(Opcode opcode, const std::string& payload);
// A close frame with a status code (and no reason).
std::string closeFrame(uint16_t code);

// Close status codes.
constexpr uint16_t kGoingAway = 1001;
constexpr uint16_t kProtocolError = 1002;
constexpr uint16_t kInvalidPayload = 1007;
constexpr uint16_t kPolicyViolation = 1008;
constexpr uint16_t kTooBig = 1009;

// True for a status code a peer may send in a close frame.
bool isSendableCloseCode(uint16_t code);
// Text messages and close reasons must be UTF-8; NUL is a character like any other.
bool isValidUtf8(const std::string& text);

}  // namespace WebSocketProtocol
