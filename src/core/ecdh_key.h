#pragma once

#include <memory>

#include "core/bytes.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace pellora {

// An ephemeral P-256 key pair for one handshake. Immutable after creation; copies share the key.
class EcdhKey {
 public:
  static constexpr std::size_t publicKeySize = 65;  // X9.63 uncompressed: 0x04, X, Y

  // A fresh key pair from the system's random source.
  static EcdhKey generate();
  // The key pair of a fixed 32-byte big-endian private scalar (tests reproduce recorded handshakes).
  // Throws CryptoError when the scalar is not a valid key.
  static EcdhKey fromPrivateScalar(ByteView scalar);

  const Bytes& publicKey() const { return publicKey_; }
  // The 32-byte X coordinate of the shared point. Throws CryptoError with OpenSSL's text when
  // `peerPublicKey` is not a valid uncompressed P-256 point.
  Bytes sharedSecret(ByteView peerPublicKey) const;

 private:
  explicit EcdhKey(std::shared_ptr<EVP_PKEY> key);

  std::shared_ptr<EVP_PKEY> key_;
  Bytes publicKey_;
};

}  // namespace pellora
