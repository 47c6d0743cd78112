#include "core/spake2.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>

#include "core/crypto.h"
#include "core/crypto_error.h"
#include "core/openssl_handles.h"

namespace pellora {

namespace {

// The RFC's fixed points for P-256, SEC1 compressed: M blinds A's share, N blinds B's.
constexpr std::string_view pointM = "02886e2f97ace46e55ba9dd7242579f2993b64e16ef3dcab95afd497333d8fa12f";
constexpr std::string_view pointN = "03d8bbd6c639c62937b04d997f38c3770719c629d7014d49a24b4f98baa1292b49";

// The bytes reduced to w: 64 bits more than the order needs, so that the reduction is unbiased.
constexpr std::size_t passwordHashSize = 40;

Bytes fromHex(std::string_view hex) {
  const auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint8_t>(digit(hex[2 * i]) << 4 | digit(hex[2 * i + 1]));
  return out;
}

// The group and its two blinding points, made once and only read afterwards (safe to share between
// threads).
struct Curve {
  ossl::Group group{EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)};
  ossl::Point m, n;

  Curve() {
    if (!group) throw CryptoError::fromLibrary("P-256");
    m = decode(fromHex(pointM));
    n = decode(fromHex(pointN));
  }
  ossl::Point decode(ByteView bytes) const {
    ossl::Point p(EC_POINT_new(group.get()));
    if (!p || EC_POINT_oct2point(group.get(), p.get(), bytes.data(), bytes.size(), nullptr) != 1)
      throw CryptoError::fromLibrary("SPAKE2 point");
    return p;
  }
  const BIGNUM* order() const { return EC_GROUP_get0_order(group.get()); }
  const EC_POINT* blind(Spake2::Role role) const { return role == Spake2::Role::a ? m.get() : n.get(); }
};

const Curve& curve() {
  static const Curve c;
  return c;
}

ossl::BigNumContext context() {
  ossl::BigNumContext ctx(BN_CTX_secure_new());
  if (!ctx) throw CryptoError::fromLibrary("BN_CTX");
  return ctx;
}

// A secret scalar below the group order, for constant-time arithmetic.
ossl::BigNum scalar(ByteView bytes) {
  ossl::BigNum n(BN_secure_new());
  if (!n || !BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), n.get()))
    throw CryptoError::fromLibrary("SPAKE2 scalar");
  if (BN_cmp(n.get(), curve().order()) >= 0) throw CryptoError::fromLibrary("SPAKE2 scalar out of range");
  BN_set_flags(n.get(), BN_FLG_CONSTTIME);
  return n;
}

Bytes toBytes(const BIGNUM* n) {
  Bytes out(Spake2::scalarSize);
  if (BN_bn2binpad(n, out.data(), static_cast<int>(out.size())) != static_cast<int>(out.size()))
    throw CryptoError::fromLibrary("SPAKE2 scalar");
  return out;
}

Bytes encode(const EC_POINT* p, BN_CTX* ctx) {
  Bytes out(Spake2::shareSize);
  if (EC_POINT_is_at_infinity(curve().group.get(), p) ||
      EC_POINT_point2oct(curve().group.get(), p, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), ctx) !=
          out.size())
    throw CryptoError::fromLibrary("SPAKE2 point");
  return out;
}

// A peer's share: exactly an uncompressed point on the curve (OpenSSL checks that while decoding; the
// identity has no uncompressed form). P-256 has cofactor 1, so every such point is in the group.
ossl::Point peerPoint(ByteView share, BN_CTX* ctx) {
  const EC_GROUP* group = curve().group.get();
  ossl::Point p(EC_POINT_new(group));
  if (share.size() != Spake2::shareSize || share[0] != POINT_CONVERSION_UNCOMPRESSED)
    throw CryptoError::fromLibrary("SPAKE2 share is not an uncompressed point");
  if (!p || EC_POINT_oct2point(group, p.get(), share.data(), share.size(), ctx) != 1 ||
      EC_POINT_is_on_curve(group, p.get(), ctx) != 1 || EC_POINT_is_at_infinity(group, p.get()))
    throw CryptoError::fromLibrary("SPAKE2 share");
  return p;
}

// len(s) || s, the length as eight bytes little-endian.
void appendWithLength(Bytes& out, ByteView s) {
  std::uint64_t n = s.size();
  for (int i = 0; i < 8; ++i, n >>= 8) out.push_back(static_cast<std::uint8_t>(n));
  out.insert(out.end(), s.begin(), s.end());
}

Bytes concat(ByteView a, ByteView b) {
  Bytes out(a.begin(), a.end());
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

}  // namespace

Bytes Spake2::passwordScalar(std::string_view password, ByteView salt, std::uint32_t iterations) {
  Bytes key = PelloraCrypto::pbkdf2(password, salt, iterations);
  Bytes hash = PelloraCrypto::hkdfSha256(key, {}, asBytes("pellora v2 w"), passwordHashSize);
  OPENSSL_cleanse(key.data(), key.size());
  auto ctx = context();
  ossl::BigNum value(BN_secure_new());
  ossl::BigNum reduced(BN_secure_new());
  const bool ok = value && reduced && BN_bin2bn(hash.data(), static_cast<int>(hash.size()), value.get()) &&
                  BN_nnmod(reduced.get(), value.get(), curve().order(), ctx.get()) == 1;
  OPENSSL_cleanse(hash.data(), hash.size());
  if (!ok) throw CryptoError::fromLibrary("SPAKE2 password scalar");
  return toBytes(reduced.get());
}

Spake2::Spake2(Role role, Bytes w) : Spake2(role, std::move(w), [] {
  ossl::BigNum x(BN_secure_new());
  do {
    if (!x || BN_priv_rand_range(x.get(), curve().order()) != 1) throw CryptoError::fromLibrary("SPAKE2 scalar");
  } while (BN_is_zero(x.get()));
  return toBytes(x.get());
}()) {}

Spake2::Spake2(Role role, Bytes w, Bytes x) : role_(role), w_(std::move(w)), scalar_(std::move(x)) {
  auto ctx = context();
  const auto secret = scalar(scalar_);
  const auto password = scalar(w_);
  const EC_GROUP* group = curve().group.get();
  ossl::Point share(EC_POINT_new(group));
  if (!share || EC_POINT_mul(group, share.get(), secret.get(), curve().blind(role_), password.get(), ctx.get()) != 1)
    throw CryptoError::fromLibrary("SPAKE2 share");
  share_ = encode(share.get(), ctx.get());
}

Spake2::~Spake2() {
  OPENSSL_cleanse(w_.data(), w_.size());
  OPENSSL_cleanse(scalar_.data(), scalar_.size());
}

Spake2::Keys Spake2::finish(ByteView peerShare, ByteView idA, ByteView idB, ByteView aad) const {
  const EC_GROUP* group = curve().group.get();
  auto ctx = context();
  const ossl::Point peer = peerPoint(peerShare, ctx.get());

  // K = x * (peer share - w * the peer's blinding point)
  const Role peerRole = role_ == Role::a ? Role::b : Role::a;
  const auto w = scalar(w_);
  const auto x = scalar(scalar_);
  ossl::Point unblinded(EC_POINT_new(group)), k(EC_POINT_new(group));
  if (!unblinded || !k ||
      EC_POINT_mul(group, unblinded.get(), nullptr, curve().blind(peerRole), w.get(), ctx.get()) != 1 ||
      EC_POINT_invert(group, unblinded.get(), ctx.get()) != 1 ||
      EC_POINT_add(group, unblinded.get(), peer.get(), unblinded.get(), ctx.get()) != 1 ||
      EC_POINT_mul(group, k.get(), nullptr, unblinded.get(), x.get(), ctx.get()) != 1)
    throw CryptoError::fromLibrary("SPAKE2");
  if (EC_POINT_is_at_infinity(group, k.get())) throw CryptoError::fromLibrary("SPAKE2 degenerate share");
  Bytes kBytes = encode(k.get(), ctx.get());

  Keys keys;
  const ByteView shareA = role_ == Role::a ? ByteView(share_) : peerShare;
  const ByteView shareB = role_ == Role::a ? peerShare : ByteView(share_);
  for (ByteView part : {idA, idB, shareA, shareB, ByteView(kBytes), ByteView(w_)})
    appendWithLength(keys.transcript, part);
  OPENSSL_cleanse(kBytes.data(), kBytes.size());

  const Bytes hash = PelloraCrypto::sha256(keys.transcript);
  const std::size_t half = hash.size() / 2;
  keys.ke.assign(hash.begin(), hash.begin() + static_cast<std::ptrdiff_t>(half));
  keys.ka.assign(hash.begin() + static_cast<std::ptrdiff_t>(half), hash.end());
  const Bytes kc = PelloraCrypto::hkdfSha256(keys.ka, {}, concat(asBytes("ConfirmationKeys"), aad), 2 * half);
  keys.kcA.assign(kc.begin(), kc.begin() + static_cast<std::ptrdiff_t>(half));
  keys.kcB.assign(kc.begin() + static_cast<std::ptrdiff_t>(half), kc.end());
  keys.confirmationA = PelloraCrypto::hmacSha256(keys.kcA, keys.transcript);
  keys.confirmationB = PelloraCrypto::hmacSha256(keys.kcB, keys.transcript);
  return keys;
}

}  // namespace pellora
