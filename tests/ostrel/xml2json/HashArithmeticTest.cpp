#include "ostrel/xml2json/HashArithmetic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace {

using hash61::kModulus;
using hash61::mulMod;

struct Product {
  std::uint64_t a;
  std::uint64_t b;
  std::uint64_t expected;
};

// Taken from the former 128-bit multiplication. Operands at the edges of the
// 32-bit halves and of the modulus, and some above it: those keep the low 64
// bits of each fold, which is why 2^63 * 2^63 gives 0.
const Product kEdges[] = {
      {0x0000000000000000ull, 0x0000000000000000ull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x0000000000000001ull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x000000007fffffffull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x0000000080000000ull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x00000000ffffffffull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x0000000100000000ull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x1000000000000000ull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x1ffffffffffffffdull, 0x0000000000000000ull},
      {0x0000000000000000ull, 0x1ffffffffffffffeull, 0x0000000000000000ull},
      {0x0000000000000001ull, 0x0000000000000001ull, 0x0000000000000001ull},
      {0x0000000000000001ull, 0x000000007fffffffull, 0x000000007fffffffull},
      {0x0000000000000001ull, 0x0000000080000000ull, 0x0000000080000000ull},
      {0x0000000000000001ull, 0x00000000ffffffffull, 0x00000000ffffffffull},
      {0x0000000000000001ull, 0x0000000100000000ull, 0x0000000100000000ull},
      {0x0000000000000001ull, 0x1000000000000000ull, 0x1000000000000000ull},
      {0x0000000000000001ull, 0x1ffffffffffffffdull, 0x1ffffffffffffffdull},
      {0x0000000000000001ull, 0x1ffffffffffffffeull, 0x1ffffffffffffffeull},
      {0x000000007fffffffull, 0x000000007fffffffull, 0x1fffffff00000002ull},
      {0x000000007fffffffull, 0x0000000080000000ull, 0x1fffffff80000001ull},
      {0x000000007fffffffull, 0x00000000ffffffffull, 0x1ffffffe80000004ull},
      {0x000000007fffffffull, 0x0000000100000000ull, 0x1fffffff00000003ull},
      {0x000000007fffffffull, 0x1000000000000000ull, 0x100000003fffffffull},
      {0x000000007fffffffull, 0x1ffffffffffffffdull, 0x1fffffff00000001ull},
      {0x000000007fffffffull, 0x1ffffffffffffffeull, 0x1fffffff80000000ull},
      {0x0000000080000000ull, 0x0000000080000000ull, 0x0000000000000002ull},
      {0x0000000080000000ull, 0x00000000ffffffffull, 0x1fffffff80000003ull},
      {0x0000000080000000ull, 0x0000000100000000ull, 0x0000000000000004ull},
      {0x0000000080000000ull, 0x1000000000000000ull, 0x0000000040000000ull},
      {0x0000000080000000ull, 0x1ffffffffffffffdull, 0x1ffffffeffffffffull},
      {0x0000000080000000ull, 0x1ffffffffffffffeull, 0x1fffffff7fffffffull},
      {0x00000000ffffffffull, 0x00000000ffffffffull, 0x1ffffffe00000008ull},
      {0x00000000ffffffffull, 0x0000000100000000ull, 0x1fffffff00000007ull},
      {0x00000000ffffffffull, 0x1000000000000000ull, 0x100000007fffffffull},
      {0x00000000ffffffffull, 0x1ffffffffffffffdull, 0x1ffffffe00000001ull},
      {0x00000000ffffffffull, 0x1ffffffffffffffeull, 0x1fffffff00000000ull},
      {0x0000000100000000ull, 0x0000000100000000ull, 0x0000000000000008ull},
      {0x0000000100000000ull, 0x1000000000000000ull, 0x0000000080000000ull},
      {0x0000000100000000ull, 0x1ffffffffffffffdull, 0x1ffffffdffffffffull},
      {0x0000000100000000ull, 0x1ffffffffffffffeull, 0x1ffffffeffffffffull},
      {0x1000000000000000ull, 0x1000000000000000ull, 0x0800000000000000ull},
      {0x1000000000000000ull, 0x1ffffffffffffffdull, 0x1ffffffffffffffeull},
      {0x1000000000000000ull, 0x1ffffffffffffffeull, 0x0fffffffffffffffull},
      {0x1ffffffffffffffdull, 0x1ffffffffffffffdull, 0x0000000000000004ull},
      {0x1ffffffffffffffdull, 0x1ffffffffffffffeull, 0x0000000000000002ull},
      {0x1ffffffffffffffeull, 0x1ffffffffffffffeull, 0x0000000000000001ull},
      {0x1fffffffffffffffull, 0x0000000000000001ull, 0x0000000000000000ull},
      {0x1fffffffffffffffull, 0x1fffffffffffffffull, 0x0000000000000000ull},
      {0x2000000000000000ull, 0x1ffffffffffffffeull, 0x1ffffffffffffffeull},
      {0x2000000000000000ull, 0x2000000000000000ull, 0x0000000000000001ull},
      {0x4000000000000000ull, 0x0000000000000003ull, 0x0000000000000006ull},
      {0x8000000000000000ull, 0x8000000000000000ull, 0x0000000000000000ull},
      {0xffffffffffffffffull, 0xffffffffffffffffull, 0x1ffffffffffffff8ull},
      {0xffffffffffffffffull, 0x0000000000000001ull, 0x0000000000000007ull},
      {0xffffffffffffffffull, 0x1ffffffffffffffeull, 0x1ffffffffffffff8ull},
      {0x0123456789abcdefull, 0x1fffffff00000000ull, 0x177777788091a2b2ull},
      {0x0000000100000001ull, 0xffffffffffffffffull, 0x0000000700000007ull},
      {0x1e3779b97f4a7c15ull, 0x1ffffffffffffffeull, 0x01c8864680b583eaull},
      {0x0000000000100000ull, 0x1e3779b97f4a7c15ull, 0x1b97f4a7c15f1bbcull},
      {0x0000000100000001ull, 0x0000000100000001ull, 0x0000000200000009ull},
};

TEST(HashArithmetic, EdgesGiveWhatTheWideProductGave) {
  for (const Product& p : kEdges) {
    EXPECT_EQ(mulMod(p.a, p.b), p.expected) << std::hex << p.a << " * " << p.b;
    EXPECT_EQ(mulMod(p.b, p.a), p.expected) << std::hex << p.b << " * " << p.a;
  }
}

// a * b mod 2^61 - 1 by doubling and adding, each step below 2^62.
std::uint64_t slowMulMod(std::uint64_t a, std::uint64_t b) {
  std::uint64_t result = 0;
  for (int bit = 63; bit >= 0; --bit) {
    result = (result << 1) % kModulus;
    if ((b >> bit) & 1) result = (result + a) % kModulus;
  }
  return result;
}

TEST(HashArithmetic, ReducedOperandsGiveTheProductModuloThePrime) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t a = random() % kModulus;
    const std::uint64_t b = random() % kModulus;
    ASSERT_EQ(mulMod(a, b), slowMulMod(a, b)) << std::hex << a << " * " << b;
  }
}

}  // namespace
