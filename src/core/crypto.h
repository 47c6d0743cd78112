#pragma once

// The standard primitives Pellora's handshake, records and file checks are built from, on OpenSSL 3's EVP
// interfaces. Stateless and thread-safe.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/bytes.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace pellora::PelloraCrypto {

// The PBKDF2 count every server announces, and the counts a client accepts (both ends included).
inline constexpr std::uint32_t defaultIterations = 200'000;
inline constexpr std::uint32_t minIterations = 50'000;
inline constexpr std::uint32_t maxIterations = 1'000'000;
inline constexpr bool iterationsInRange(std::uint32_t n) { return n >= minIterations && n <= maxIterations; }

inline constexpr std::size_t sha256Size = 32;

// `count` bytes from the system's cryptographic random source. If that source ever fails the process
// aborts with a message: no key, nonce or password can be made safely without it.
Bytes randomBytes(std::size_t count);

// Unicode canonical composition (NFC). Text that is not valid UTF-8 is returned unchanged.
std::string normalizeNFC(std::string_view text);

// PBKDF2-HMAC-SHA256 of the NFC form of `password` (UTF-8, no terminator), 32 bytes.
Bytes pbkdf2(std::string_view password, ByteView salt, std::uint32_t iterations);

Bytes sha256(ByteView data);
Bytes hmacSha256(ByteView key, ByteView data);
// HKDF-SHA256 (RFC 5869), extract and expand.
Bytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length);
// Compares in time independent of the contents; buffers of different lengths are unequal.
bool constantTimeEqual(ByteView a, ByteView b);

// Incremental SHA-256, for data that arrives in pieces (file transfer).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(ByteView data);
  // The digest of everything fed so far; the hasher starts over afterwards.
  Bytes finish();

 private:
  struct Free {
    void operator()(EVP_MD_CTX* ctx) const;
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

// HMAC-SHA256 under one key that signs many messages: the key is set up once, and each message only
// resets the context to it. One thread at a time.
class HmacSha256 {
 public:
  explicit HmacSha256(ByteView key);
  ~HmacSha256();
  HmacSha256(HmacSha256&&) noexcept;
  HmacSha256& operator=(HmacSha256&&) noexcept;

  Bytes sign(ByteView data);

 private:
  struct Free {
    void operator()(EVP_MAC_CTX* ctx) const;
  };
  std::unique_ptr<EVP_MAC_CTX, Free> keyed_;
};

}  // namespace pellora::PelloraCrypto
