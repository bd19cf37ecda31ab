#pragma once

// The frames a browser sends on an RFC 6455 channel, read from the bytes as they
// arrive: masked frames are unmasked, fragments joined into whole messages, and
// anything the protocol forbids (text that is not UTF-8, a close with a code no
// peer may send, a message too big to keep) is an error with the close code to
// answer.

#include <cstddef>
#include <cstdint>
#include <string>

class FrameReader {
 public:
  // A control frame (close, ping, pong), or a whole text or binary message.
  struct Frame {
    uint8_t opcode = 0;
    std::string payload;
  };
  enum Result { kNeedMore, kFrame, kError };

  // Limit of one message; the channel only ever reads control frames with care.
  static constexpr size_t kMaxMessage = 64 * 1024;

  void feed(const char* data, size_t length) { buffer_.append(data, length); }
  // kError stays once reached; errorCode() then names the close code.
  Result next(Frame& frame);
  uint16_t errorCode() const { return error_; }

 private:
  Result fail(uint16_t code);
  static uint16_t checkClose(const std::string& payload);

  std::string buffer_;
  std::string message_;  // the fragments of an unfinished message
  uint8_t messageOpcode_ = 0;  // 0 while no message is unfinished
  uint16_t error_ = 0;
};
