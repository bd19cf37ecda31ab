#pragma once

// MD5 and SHA-1, the hashes that the web protocols name: the WebSocket
// handshakes (the early drafts' MD5 answer, RFC 6455's SHA-1 accept key) and
// HTTP digest authentication. All of Ostrel hashes through this header, so that
// each platform serves it from its own library (OpenSSL's crypto library here).
// Neither hash protects a secret: the protocols fix them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace digest {

using Md5 = std::array<uint8_t, 16>;
using Sha1 = std::array<uint8_t, 20>;

// The hash of `size` bytes at `data` (which may be null when `size` is 0);
// empty when the system's library refuses it, as a FIPS-only configuration
// refuses MD5.
std::optional<Md5> md5(const void* data, size_t size);
std::optional<Sha1> sha1(const void* data, size_t size);

// MD5 of a text given in pieces.
class Md5Stream {
 public:
  Md5Stream();
  ~Md5Stream();
  Md5Stream(const Md5Stream&) = delete;
  Md5Stream& operator=(const Md5Stream&) = delete;

  void add(const void* data, size_t size);
  // The hash of everything added; empty when any step failed. Ends the stream:
  // later calls give nothing.
  std::optional<Md5> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;  // null once a step has failed or the stream ended
};

}  // namespace digest
