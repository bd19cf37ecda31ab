#include "platform/Digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

template <size_t N>
std::string hex(const std::optional<std::array<uint8_t, N>>& hash) {
  if (!hash) return "(no hash)";
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : *hash) {
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
  }
  return out;
}

std::string md5Hex(const std::string& text) { return hex(digest::md5(text.data(), text.size())); }
std::string sha1Hex(const std::string& text) { return hex(digest::sha1(text.data(), text.size())); }

std::string allBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += char(i);
  return bytes;
}

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// RFC 1321's test suite, a million "a" and every byte value.
TEST(Digest, Md5KnownAnswers) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(md5Hex(repeat("1234567890", 8)), "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(md5Hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
  EXPECT_EQ(md5Hex(allBytes()), "e2c865db4162bed963bfaa9ef6ac18f0");
  EXPECT_EQ(hex(digest::md5(nullptr, 0)), "d41d8cd98f00b204e9800998ecf8427e");
}

// FIPS 180's examples (RFC 3174's four tests), the long two-block message and
// every byte value.
TEST(Digest, Sha1KnownAnswers) {
  EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(sha1Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
                    "mnopqrstnopqrstu"),
            "a49b2446a02c645bf419f995b67091253a04a259");
  EXPECT_EQ(sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(sha1Hex(repeat("0123456701234567012345670123456701234567012345670123456701234567", 10)),
            "dea356a2cddd90c7a7ecedc5ebb563934f460452");
  EXPECT_EQ(sha1Hex(allBytes()), "4916d6bdb7f78e6803698cab32d1586ea457dfc8");
  EXPECT_EQ(hex(digest::sha1(nullptr, 0)), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Digest, Md5StreamHashesThePiecesAsOneText) {
  {
    digest::Md5Stream stream;
    EXPECT_EQ(hex(stream.finish()), "d41d8cd98f00b204e9800998ecf8427e");
    // A finished stream gives nothing more.
    EXPECT_FALSE(stream.finish().has_value());
  }
  {
    digest::Md5Stream stream;
    stream.add("mess", 4);
    stream.add(nullptr, 0);
    stream.add("age ", 4);
    stream.add("", 0);
    stream.add("digest", 6);
    EXPECT_EQ(hex(stream.finish()), "f96b697d7cb7938d525a2f31aaf161d0");
  }
  {
    // Pieces of every length up to two blocks, across block ends.
    const std::string text(1000000, 'a');
    digest::Md5Stream stream;
    size_t pos = 0;
    for (size_t piece = 0; pos < text.size(); piece = (piece + 1) % 129) {
      const size_t length = std::min(piece, text.size() - pos);
      stream.add(text.data() + pos, length);
      pos += length;
    }
    EXPECT_EQ(hex(stream.finish()), "7707d6ae4e027c70eea2a935c2296f21");
  }
}

}  // namespace
