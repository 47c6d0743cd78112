#include "core/ecdh_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include "core/crypto_error.h"

namespace pellora {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using PointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;

constexpr char curveName[] = "prime256v1";

// A key from OSSL_PARAMs: the public point alone (peer keys) or with the private scalar.
PkeyPtr fromParams(ByteView publicKey, const BIGNUM* privateScalar) {
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, curveName, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, publicKey.data(), publicKey.size()) ||
      (privateScalar && !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateScalar)))
    throw CryptoError::fromLibrary("EC key parameters");
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, privateScalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    throw CryptoError::fromLibrary("EC public key");
  return PkeyPtr(key);
}

std::shared_ptr<EVP_PKEY> share(PkeyPtr key) { return std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free); }

}  // namespace

EcdhKey::EcdhKey(std::shared_ptr<EVP_PKEY> key) : key_(std::move(key)), publicKey_(publicKeySize) {
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, publicKey_.data(),
                                      publicKey_.size(), &length) != 1 ||
      length != publicKeySize)
    throw CryptoError::fromLibrary("EC public key");
}

EcdhKey EcdhKey::generate() {
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curveName));
  if (!key) throw CryptoError::fromLibrary("EC key generation");
  return EcdhKey(share(std::move(key)));
}

EcdhKey EcdhKey::fromPrivateScalar(ByteView scalar) {
  BnPtr d(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
  GroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  if (!d || !group) throw CryptoError::fromLibrary("EC private key");
  PointPtr point(EC_POINT_new(group.get()));
  Bytes publicKey(publicKeySize);
  if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, publicKey.data(),
                         publicKey.size(), nullptr) != publicKeySize)
    throw CryptoError::fromLibrary("EC private key");
  return EcdhKey(share(fromParams(publicKey, d.get())));
}

Bytes EcdhKey::sharedSecret(ByteView peerPublicKey) const {
  PkeyPtr peer = fromParams(peerPublicKey, nullptr);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
  std::size_t length = 32;
  Bytes secret(length);
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1 ||
      EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != 32)
    throw CryptoError::fromLibrary("ECDH");
  return secret;
}

}  // namespace pellora
