#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"
#include "core/ecdh_key.h"

namespace pellora {

// The key schedule's result for one connection. A plain value.
struct SessionKeys {
  static constexpr std::size_t proofSize = 32;

  Bytes transcriptHash;  // SHA-256 of the client hello record followed by the server hello record
  Bytes auth;            // key of the two proofs
  Bytes clientToServer;  // AES-256-GCM key of the client's records
  Bytes serverToClient;  // AES-256-GCM key of the server's records

  // HMAC-SHA256(auth, label || transcriptHash).
  Bytes proof(std::string_view label) const;
  Bytes clientProof() const { return proof("client"); }
  Bytes serverProof() const { return proof("server"); }
  // Constant-time check; a proof of any length other than 32 is invalid.
  bool isValid(ByteView proof, std::string_view label) const;
};

namespace PelloraCrypto {
// ECDH with the peer's key, PBKDF2 of the password, then three HKDF-SHA256 derivations salted with the
// transcript hash. `clientHello`/`serverHello` are the records exactly as sent, without frame prefixes.
// Throws CryptoError when `peerPublicKey` is not a valid P-256 point.
SessionKeys deriveKeys(const EcdhKey& privateKey, ByteView peerPublicKey, std::string_view password, ByteView salt,
                       std::uint32_t iterations, ByteView clientHello, ByteView serverHello);
}  // namespace PelloraCrypto

}  // namespace pellora
