#pragma once

// Arithmetic modulo the Mersenne prime 2^61 - 1 for the converter's polynomial
// hashes, in 64-bit operations only: 32-bit targets have no 128-bit integer.

#include <cstdint>

namespace hash61 {

constexpr std::uint64_t kModulus = (std::uint64_t{1} << 61) - 1;

// a * b modulo 2^61 - 1 for operands below the modulus. The 128-bit product is
// formed from 32-bit halves and folded twice at bit 61, keeping the low 64 bits
// of each fold, so that every pair of operands, reduced or not, gives what
// folding a native 128-bit product gives.
inline std::uint64_t mulMod(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
  const std::uint64_t aLow = a & kLow32;
  const std::uint64_t aHigh = a >> 32;
  const std::uint64_t bLow = b & kLow32;
  const std::uint64_t bHigh = b >> 32;
  const std::uint64_t lowLow = aLow * bLow;
  const std::uint64_t lowHigh = aLow * bHigh;
  const std::uint64_t highLow = aHigh * bLow;
  const std::uint64_t highHigh = aHigh * bHigh;
  // Below 3 * 2^32: the carries into the upper half.
  const std::uint64_t middle = (lowLow >> 32) + (lowHigh & kLow32) + (highLow & kLow32);
  const std::uint64_t productLow = (middle << 32) | (lowLow & kLow32);
  const std::uint64_t productHigh = highHigh + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32);

  std::uint64_t r = (productLow & kModulus) + ((productLow >> 61) | (productHigh << 3));
  r = (r & kModulus) + (r >> 61);
  return r >= kModulus ? r - kModulus : r;
}

}  // namespace hash61
