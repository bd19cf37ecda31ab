#include "ostrel/channels/WebSocketProtocol.h"

#include <algorithm>

#include "platform/Digest.h"

namespace WebSocketProtocol {

namespace {

// Base64 with padding, on one line.
std::string base64(const uint8_t* data, size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t group = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += kAlphabet[(group >> 6) & 0x3F];
    out += kAlphabet[group & 0x3F];
  }
  if (i < size) {
    const bool two = i + 1 < size;
    const uint32_t group = uint32_t(data[i]) << 16 | (two ? uint32_t(data[i + 1]) << 8 : 0);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += two ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

int countSpaces(const std::string& key) { return int(std::count(key.begin(), key.end(), ' ')); }

uint32_t keyNumber(const std::string& key) {
  const int spaces = countSpaces(key);
  if (spaces == 0) return 0;
  uint64_t number = 0;
  for (char c : key) {
    if (c < '0' || c > '9') continue;
    number = number * 10 + uint64_t(c - '0');
    if (number > UINT32_MAX) number = UINT32_MAX;
  }
  return uint32_t(number / uint64_t(spaces));
}

std::string thirdKey(const std::string& rawRequest, int requestLength, int dataLength) {
  // The raw copy ends at its first NUL byte, whatever the data length says.
  const int available = std::min(int(rawRequest.size()), dataLength) - requestLength;
  if (requestLength < 0 || available < 8) return std::string(8, '\xFF');
  return rawRequest.substr(size_t(requestLength), 8);
}

std::string draftAnswer(const std::string& key1, const std::string& key2, const std::string& key3) {
  unsigned char challenge[16];
  const uint32_t numbers[2] = {keyNumber(key1), keyNumber(key2)};
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 4; ++i) challenge[k * 4 + i] = uint8_t(numbers[k] >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i) challenge[8 + i] = i < int(key3.size()) ? uint8_t(key3[size_t(i)]) : 0xFF;
  const std::optional<digest::Md5> hash = digest::md5(challenge, sizeof challenge);
  if (!hash) return std::string();
  return std::string(reinterpret_cast<const char*>(hash->data()), hash->size());
}

std::string acceptKey(const std::string& key) {
  const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  const std::optional<digest::Sha1> hash = digest::sha1(text.data(), text.size());
  if (!hash) return std::string();
  return base64(hash->data(), hash->size());
}

std::string draftFrame(const std::string& text) { return std::string(1, '\0') + text + '\xFF'; }

std::string frame(Opcode opcode, const std::string& payload) {
  std::string out(1, char(0x80 | opcode));
  const uint64_t length = payload.size();
  if (length < 126) {
    out += char(length);
  } else if (length <= 0xFFFF) {
    out += char(126);
    out += char(length >> 8);
    out += char(length & 0xFF);
  } else {
    out += char(127);
    for (int shift = 56; shift >= 0; shift -= 8) out += char((length >> shift) & 0xFF);
  }
  return out + payload;
}

std::string closeFrame(uint16_t code) {
  return frame(kClose, std::string{char(code >> 8), char(code & 0xFF)});
}

bool isSendableCloseCode(uint16_t code) {
  // 1004 to 1006 and 1015 are reserved for reports and never go on the wire.
  if (code >= 1000 && code <= 1003) return true;
  if (code >= 1007 && code <= 1014) return true;
  return code >= 3000 && code <= 4999;
}

bool isValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t c = uint8_t(text[i]);
    int extra;
    uint32_t point, min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, point = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, point = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, point = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + size_t(extra) >= text.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const uint8_t next = uint8_t(text[i + size_t(k)]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += size_t(extra) + 1;
  }
  return true;
}

}  // namespace WebSocketProtocol
