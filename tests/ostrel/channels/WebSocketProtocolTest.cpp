// The handshake arithmetic and the frames of both protocol generations.

#include "ostrel/channels/WebSocketProtocol.h"

#include <gtest/gtest.h>

#include "ostrel/channels/FrameReader.h"

using namespace WebSocketProtocol;

namespace {

// A frame as a browser sends it: masked with a fixed key.
std::string clientFrame(uint8_t first, const std::string& payload, const std::string& mask = "\x37\xfa\x21\x3d") {
  std::string out(1, char(first));
  if (payload.size() < 126) {
    out += char(0x80 | payload.size());
  } else {
    out += char(0x80 | 126);
    out += char(payload.size() >> 8);
    out += char(payload.size() & 0xFF);
  }
  out += mask;
  for (size_t i = 0; i < payload.size(); ++i) out += char(payload[i] ^ mask[i % 4]);
  return out;
}

}  // namespace

TEST(WebSocketProtocolTest, EarlyDraftAnswerOfTheDraftExample) {
  EXPECT_EQ(829309203u, keyNumber("4 @1  46546xW%0l 1 5"));
  EXPECT_EQ(259970620u, keyNumber("12998 5 Y3 1  .P00"));
  EXPECT_EQ("8jKS'y:G*Co,Wxa-", draftAnswer("4 @1  46546xW%0l 1 5", "12998 5 Y3 1  .P00", "^n:ds[4U"));
}

TEST(WebSocketProtocolTest, KeyNumbersReadDigitsInOrderAndTruncate) {
  EXPECT_EQ(3u, keyNumber("1x 0  "));  // 10 / 3
  EXPECT_EQ(0u, keyNumber("123"));     // no space
  EXPECT_EQ(0u, keyNumber("  "));      // no digit
  EXPECT_EQ(4294967295u, keyNumber("99999999999 "));  // saturates
  EXPECT_EQ(2, countSpaces(" a "));
}

TEST(WebSocketProtocolTest, ThirdKeyIsTheEightBytesBehindTheHead) {
  const std::string head = "GET / HTTP/1.1\r\n\r\n";
  EXPECT_EQ("^n:ds[4U", thirdKey(head + "^n:ds[4U", int(head.size()), int(head.size()) + 8));
  EXPECT_EQ("^n:ds[4U", thirdKey(head + "^n:ds[4Uextra", int(head.size()), int(head.size()) + 13));
  const std::string ff(8, '\xFF');
  EXPECT_EQ(ff, thirdKey(head + "^n:ds[4", int(head.size()), int(head.size()) + 7));
  EXPECT_EQ(ff, thirdKey(head, int(head.size()), int(head.size())));
  // The raw copy ends at a NUL byte whatever the data length says.
  EXPECT_EQ(ff, thirdKey(head + "^n:d", int(head.size()), int(head.size()) + 8));
  // With fewer than eight bytes the answer is that of the 0xFF key.
  EXPECT_EQ(draftAnswer("1 ", "2 ", ff), draftAnswer("1 ", "2 ", thirdKey(head, int(head.size()), int(head.size()))));
}

TEST(WebSocketProtocolTest, AcceptKeyOfTheRfcExample) {
  EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", acceptKey("dGhlIHNhbXBsZSBub25jZQ=="));
}

TEST(WebSocketProtocolTest, ServerFramesCarryTheirLength) {
  EXPECT_EQ(std::string("\x00hi\xFF", 4), draftFrame("hi"));
  EXPECT_EQ("\x81\x02hi", frame(kText, "hi"));
  EXPECT_EQ(std::string("\x88\x02\x03\xE9", 4), closeFrame(kGoingAway));
  std::string medium = frame(kText, std::string(126, 'a'));
  EXPECT_EQ(std::string("\x81\x7E\x00\x7E", 4), medium.substr(0, 4));
  EXPECT_EQ(4u + 126u, medium.size());
  std::string large = frame(kText, std::string(70000, 'a'));
  EXPECT_EQ(std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x11\x70", 10), large.substr(0, 10));
  EXPECT_EQ(10u + 70000u, large.size());
}

TEST(FrameReaderTest, UnmasksAndJoinsFragmentsFedByteByByte) {
  FrameReader reader;
  FrameReader::Frame frame;
  // A text in two fragments with a ping between them.
  const std::string bytes = clientFrame(0x01, "hel") + clientFrame(0x89, "p") + clientFrame(0x80, "lo") +
                            clientFrame(0x82, std::string(300, 'b'));
  std::vector<FrameReader::Frame> frames;
  for (char c : bytes) {
    reader.feed(&c, 1);
    while (reader.next(frame) == FrameReader::kFrame) frames.push_back(frame);
  }
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(kPing, frames[0].opcode);
  EXPECT_EQ("p", frames[0].payload);
  EXPECT_EQ(kText, frames[1].opcode);
  EXPECT_EQ("hello", frames[1].payload);
  EXPECT_EQ(kBinary, frames[2].opcode);
  EXPECT_EQ(std::string(300, 'b'), frames[2].payload);
}

TEST(FrameReaderTest, ForbiddenFramesAreErrorsWithTheirCloseCode) {
  struct Case {
    std::string bytes;
    uint16_t code;
  };
  const std::string unmasked = std::string("\x81\x02hi", 4);
  const Case cases[] = {
      {unmasked, kProtocolError},
      {clientFrame(0xC1, "x"), kProtocolError},             // reserved bit
      {clientFrame(0x09, "x"), kProtocolError},             // fragmented ping
      {clientFrame(0x80, "x"), kProtocolError},             // continuation without a start
      {clientFrame(0x01, "a") + clientFrame(0x81, "b"), kProtocolError},  // new message inside one
      {clientFrame(0x83, "x"), kProtocolError},             // unknown opcode
      {std::string("\x81\xFF\x00\x00\x00\x00\x00\x01\x00\x01", 10), kTooBig},
  };
  for (const Case& c : cases) {
    FrameReader reader;
    FrameReader::Frame frame;
    reader.feed(c.bytes.data(), c.bytes.size());
    FrameReader::Result result = reader.next(frame);
    while (result == FrameReader::kFrame) result = reader.next(frame);
    EXPECT_EQ(FrameReader::kError, result);
    EXPECT_EQ(c.code, reader.errorCode());
  }
  // A message whose fragments add up past the limit.
  FrameReader reader;
  FrameReader::Frame frame;
  const std::string half = clientFrame(0x02, std::string(FrameReader::kMaxMessage / 2 + 1, 'x'));
  std::string more = half;
  more[0] = 0x00;
  reader.feed(half.data(), half.size());
  reader.feed(more.data(), more.size());
  EXPECT_EQ(FrameReader::kError, reader.next(frame));
  EXPECT_EQ(kTooBig, reader.errorCode());
}
