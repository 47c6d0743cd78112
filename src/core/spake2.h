#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"

namespace pellora {

// SPAKE2 (RFC 9382) on P-256 with SHA-256, HKDF-SHA256 and HMAC-SHA256: one party's side of one exchange.
// Party A blinds its share with the RFC's fixed point M, party B with N, so that a share cannot be
// reflected back to its sender. A party is immutable after creation: the host makes one per password it
// holds, and the viewer finishes its single party against each of the host's shares.
//
// A plain value without executor affinity; the key derivation and the point arithmetic run on the CPU
// pool. Secrets (w and the scalar) are cleared when a party is destroyed.
class Spake2 {
 public:
  enum class Role { a, b };

  static constexpr std::size_t shareSize = 65;  // X9.63 uncompressed point: 0x04, X, Y
  static constexpr std::size_t scalarSize = 32;
  static constexpr std::size_t confirmationSize = 32;

  // The key schedule of one finished exchange (the RFC's names).
  struct Keys {
    Bytes transcript;     // TT
    Bytes ke;             // the shared secret: the first half of SHA-256(TT)
    Bytes ka;             // the second half, only for the confirmation keys
    Bytes kcA, kcB;       // HKDF(salt nil, Ka, "ConfirmationKeys" || AAD), 16 bytes each
    Bytes confirmationA;  // HMAC(KcA, TT): what A sends
    Bytes confirmationB;  // HMAC(KcB, TT): what B sends
  };

  // w for a password: PBKDF2-HMAC-SHA256 (the password NFC-normalised, as everywhere; 32 bytes, the cost
  // of version 1's key), stretched to 40 bytes by HKDF-SHA256 (info "pellora v2 w") and reduced modulo the
  // group order, as 32 bytes big-endian. (Asking PBKDF2 itself for 40 bytes would run every iteration
  // twice, once per output block.)
  static Bytes passwordScalar(std::string_view password, ByteView salt, std::uint32_t iterations);

  // A party with a fresh random scalar. `w` is 32 bytes big-endian.
  Spake2(Role role, Bytes w);
  // A party with a fixed scalar (known-answer tests). Throws CryptoError when a value is not below the
  // group order.
  Spake2(Role role, Bytes w, Bytes scalar);
  ~Spake2();
  Spake2(const Spake2&) = default;
  Spake2& operator=(const Spake2&) = default;
  Spake2(Spake2&&) noexcept = default;
  Spake2& operator=(Spake2&&) noexcept = default;

  Role role() const { return role_; }
  // x*P + w*M for A, y*P + w*N for B.
  const Bytes& share() const { return share_; }

  // The keys against the peer's share. `idA` and `idB` are the two parties' identities (either may be
  // empty; both enter the transcript with their lengths), `aad` the confirmation keys' associated data.
  // Throws CryptoError when `peerShare` is not an uncompressed P-256 point, or when the exchange
  // degenerates (a share made so that the shared point is the identity).
  Keys finish(ByteView peerShare, ByteView idA, ByteView idB, ByteView aad = {}) const;

 private:
  Role role_;
  Bytes w_;
  Bytes scalar_;
  Bytes share_;
};

}  // namespace pellora
