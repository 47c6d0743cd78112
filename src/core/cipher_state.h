#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "core/bytes.h"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace pellora {

// One direction's AES-256-GCM key and record counter. The nonce is four zero bytes and the counter as a
// 64-bit big-endian integer; it is never transmitted. Not thread-safe: the secure channel guards its
// sending state with its lock, and its receiving state has a single reader. Copies start from the same
// key and counter.
class CipherState {
 public:
  static constexpr std::size_t keySize = 32;
  static constexpr std::size_t tagSize = 16;
  static constexpr std::size_t nonceSize = 12;

  explicit CipherState(ByteView key);
  ~CipherState();
  CipherState(const CipherState& other);
  CipherState& operator=(const CipherState& other);
  CipherState(CipherState&&) noexcept;
  CipherState& operator=(CipherState&&) noexcept;

  std::uint64_t counter() const { return counter_; }
  static std::array<std::uint8_t, nonceSize> nonce(std::uint64_t counter);

  // Ciphertext followed by the 16-byte tag. Takes the next nonce.
  Bytes seal(ByteView plaintext);
  // The same into `out`, which has room for plaintext.size() + 16 bytes (it may start where the
  // plaintext starts).
  void sealInto(ByteView plaintext, std::uint8_t* out);
  // WireError `truncated` below 16 bytes (the counter stays); otherwise takes the next nonce and throws
  // CryptoError::authenticationFailure() on a tag mismatch (the counter has advanced then).
  Bytes open(ByteView record);
  // The same, decrypting in place: returns the plaintext, the record's first size() - 16 bytes.
  std::span<std::uint8_t> openInPlace(std::span<std::uint8_t> record);

 private:
  struct Free {
    void operator()(EVP_CIPHER_CTX* ctx) const;
  };
  void prepare(bool encrypt);
  std::uint64_t nextCounter();

  std::array<std::uint8_t, keySize> key_{};
  std::uint64_t counter_ = 0;
  std::unique_ptr<EVP_CIPHER_CTX, Free> ctx_;
  int mode_ = -1;  // 1 encrypt, 0 decrypt, -1 not keyed yet
};

}  // namespace pellora
