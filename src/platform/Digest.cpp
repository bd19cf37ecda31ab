#include "platform/Digest.h"

#include <openssl/evp.h>

#include <algorithm>

namespace digest {

namespace {

// Never null, so that an empty input needs no special case in the library.
const void* bytesOf(const void* data) {
  static const unsigned char kNothing = 0;
  return data != nullptr ? data : &kNothing;
}

template <size_t N>
std::optional<std::array<uint8_t, N>> hashOnce(const EVP_MD* md, const void* data, size_t size) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (md == nullptr || EVP_Digest(bytesOf(data), size, hash, &length, md, nullptr) != 1 || length != N) {
    return std::nullopt;
  }
  std::array<uint8_t, N> out;
  std::copy(hash, hash + N, out.begin());
  return out;
}

}  // namespace

std::optional<Md5> md5(const void* data, size_t size) { return hashOnce<16>(EVP_md5(), data, size); }

std::optional<Sha1> sha1(const void* data, size_t size) { return hashOnce<20>(EVP_sha1(), data, size); }

struct Md5Stream::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(context); }
};

Md5Stream::Md5Stream() : state_(std::make_unique<State>()) {
  if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_md5(), nullptr) != 1) state_.reset();
}

Md5Stream::~Md5Stream() = default;

void Md5Stream::add(const void* data, size_t size) {
  if (state_ && EVP_DigestUpdate(state_->context, bytesOf(data), size) != 1) state_.reset();
}

std::optional<Md5> Md5Stream::finish() {
  if (!state_) return std::nullopt;
  const std::unique_ptr<State> state = std::move(state_);
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  Md5 out;
  if (EVP_DigestFinal_ex(state->context, hash, &length) != 1 || length != out.size()) return std::nullopt;
  std::copy(hash, hash + out.size(), out.begin());
  return out;
}

}  // namespace digest
