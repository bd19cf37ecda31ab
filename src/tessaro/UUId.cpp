#include "tessaro/UUId.h"

#include <cstdio>
#include <random>

UUId::UUId() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  uint64_t high = generator();
  uint64_t low = generator();
  // Version 4, variant 1, as the usual 8-4-4-4-12 text.
  high = (high & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull;
  low = (low & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", unsigned(high >> 32),
                unsigned((high >> 16) & 0xFFFF), unsigned(high & 0xFFFF), unsigned(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  value_ = text;
}
