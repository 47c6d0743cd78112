#include "core/ecdh_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include "core/crypto_error.h"
#include "core/openssl_handles.h"

namespace pellora {

namespace {

using ossl::BigNum;
using ossl::Group;
using ossl::Params;
using ossl::ParamBuilder;
using ossl::Pkey;
using ossl::PkeyContext;
using ossl::Point;

constexpr char curveName[] = "prime256v1";

// A key from OSSL_PARAMs: the public point alone (peer keys) or with the private scalar.
Pkey fromParams(ByteView publicKey, const BIGNUM* privateScalar) {
  ParamBuilder bld(OSSL_PARAM_BLD_new());
  if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, curveName, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, publicKey.data(), publicKey.size()) ||
      (privateScalar && !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateScalar)))
    throw CryptoError::fromLibrary("EC key parameters");
  Params params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, privateScalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    throw CryptoError::fromLibrary("EC public key");
  return Pkey(key);
}

std::shared_ptr<EVP_PKEY> share(Pkey key) { return std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free); }

}  // namespace

EcdhKey::EcdhKey(std::shared_ptr<EVP_PKEY> key) : key_(std::move(key)), publicKey_(publicKeySize) {
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, publicKey_.data(),
                                      publicKey_.size(), &length) != 1 ||
      length != publicKeySize)
    throw CryptoError::fromLibrary("EC public key");
}

EcdhKey EcdhKey::generate() {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curveName));
  if (!key) throw CryptoError::fromLibrary("EC key generation");
  return EcdhKey(share(std::move(key)));
}

EcdhKey EcdhKey::fromPrivateScalar(ByteView scalar) {
  BigNum d(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
  Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  if (!d || !group) throw CryptoError::fromLibrary("EC private key");
  Point point(EC_POINT_new(group.get()));
  Bytes publicKey(publicKeySize);
  if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, publicKey.data(),
                         publicKey.size(), nullptr) != publicKeySize)
    throw CryptoError::fromLibrary("EC private key");
  return EcdhKey(share(fromParams(publicKey, d.get())));
}

Bytes EcdhKey::sharedSecret(ByteView peerPublicKey) const {
  Pkey peer = fromParams(peerPublicKey, nullptr);
  PkeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
  std::size_t length = 32;
  Bytes secret(length);
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1 ||
      EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != 32)
    throw CryptoError::fromLibrary("ECDH");
  return secret;
}

}  // namespace pellora
