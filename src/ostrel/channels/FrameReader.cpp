#include "ostrel/channels/FrameReader.h"

#include "ostrel/channels/WebSocketProtocol.h"

using namespace WebSocketProtocol;

FrameReader::Result FrameReader::fail(uint16_t code) {
  error_ = code;
  buffer_.clear();
  message_.clear();
  return kError;
}

// 0 for a close payload that may be echoed, else the code to close with.
uint16_t FrameReader::checkClose(const std::string& payload) {
  if (payload.empty()) return 0;
  // A lone byte cannot be a status code.
  if (payload.size() == 1) return kProtocolError;
  const uint16_t code = uint16_t((uint8_t(payload[0]) << 8) | uint8_t(payload[1]));
  if (!isSendableCloseCode(code)) return kProtocolError;
  return isValidUtf8(payload.substr(2)) ? 0 : kInvalidPayload;
}

FrameReader::Result FrameReader::next(Frame& frame) {
  for (;;) {
    if (error_ != 0) return kError;
    if (buffer_.size() < 2) return kNeedMore;
    const uint8_t first = uint8_t(buffer_[0]);
    const uint8_t second = uint8_t(buffer_[1]);
    const bool fin = (first & 0x80) != 0;
    const uint8_t opcode = first & 0x0F;
    // No extension was agreed, and a browser always masks.
    if ((first & 0x70) != 0 || (second & 0x80) == 0) return fail(kProtocolError);

    size_t header = 2;
    uint64_t length = second & 0x7F;
    if (length == 126 || length == 127) {
      const size_t bytes = length == 126 ? 2 : 8;
      if (buffer_.size() < header + bytes) return kNeedMore;
      length = 0;
      for (size_t i = 0; i < bytes; ++i) length = (length << 8) | uint8_t(buffer_[header + i]);
      header += bytes;
    }
    const bool control = (opcode & 0x8) != 0;
    if (control && (!fin || length > 125 || opcode > kPong)) return fail(kProtocolError);
    if (!control && (opcode > kBinary || (opcode == kContinuation) != (messageOpcode_ != 0)))
      return fail(kProtocolError);
    if (length > kMaxMessage || (!control && message_.size() + length > kMaxMessage)) return fail(kTooBig);

    const size_t maskAt = header;
    header += 4;
    if (buffer_.size() < header + length) return kNeedMore;
    std::string payload = buffer_.substr(header, size_t(length));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(payload[i] ^ buffer_[maskAt + i % 4]);
    buffer_.erase(0, header + size_t(length));

    if (control) {
      if (opcode == kClose) {
        const uint16_t code = checkClose(payload);
        if (code != 0) return fail(code);
      }
      frame.opcode = opcode;
      frame.payload = std::move(payload);
      return kFrame;
    }
    if (opcode != kContinuation) messageOpcode_ = opcode;
    message_ += payload;
    if (fin) {
      if (messageOpcode_ == kText && !isValidUtf8(message_)) return fail(kInvalidPayload);
      frame.opcode = messageOpcode_;
      frame.payload = std::move(message_);
      message_.clear();
      messageOpcode_ = 0;
      return kFrame;
    }
  }
}
