#include "core/session_keys.h"

#include "core/crypto.h"

namespace pellora {

Bytes SessionKeys::proof(std::string_view label) const {
  ByteWriter data(label.size() + transcriptHash.size());
  data.raw(asBytes(label));
  data.raw(transcriptHash);
  return PelloraCrypto::hmacSha256(auth, data.data());
}

bool SessionKeys::isValid(ByteView received, std::string_view label) const {
  return received.size() == proofSize && PelloraCrypto::constantTimeEqual(received, proof(label));
}

SessionKeys PelloraCrypto::deriveKeys(const EcdhKey& privateKey, ByteView peerPublicKey, std::string_view password,
                                      ByteView salt, std::uint32_t iterations, ByteView clientHello,
                                      ByteView serverHello) {
  ByteWriter ikm(64);
  ikm.raw(privateKey.sharedSecret(peerPublicKey));
  ikm.raw(pbkdf2(password, salt, iterations));

  Sha256 transcript;
  transcript.update(clientHello);
  transcript.update(serverHello);

  SessionKeys keys;
  keys.transcriptHash = transcript.finish();
  keys.auth = hkdfSha256(ikm.data(), keys.transcriptHash, asBytes("pellora v1 auth"), 32);
  keys.clientToServer = hkdfSha256(ikm.data(), keys.transcriptHash, asBytes("pellora v1 c2s"), 32);
  keys.serverToClient = hkdfSha256(ikm.data(), keys.transcriptHash, asBytes("pellora v1 s2c"), 32);
  return keys;
}

}  // namespace pellora
