#include "core/crypto.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <utf8proc.h>

namespace pellora::PelloraCrypto {

namespace {

[[noreturn]] void fail(const char* what) {
  char detail[256];
  ERR_error_string_n(ERR_get_error(), detail, sizeof detail);
  throw std::runtime_error(std::string(what) + ": " + detail);
}

struct KdfFree {
  void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};

// Fetching an algorithm from the provider is not free; each is fetched once and shared (fetched objects
// are immutable and safe to use from several threads).
EVP_KDF* kdf(const char* name) {
  EVP_KDF* k = EVP_KDF_fetch(nullptr, name, nullptr);
  if (!k) fail(name);
  return k;
}
EVP_KDF* pbkdf2Algorithm() {
  static const std::unique_ptr<EVP_KDF, KdfFree> k(kdf("PBKDF2"));
  return k.get();
}
EVP_KDF* hkdfAlgorithm() {
  static const std::unique_ptr<EVP_KDF, KdfFree> k(kdf("HKDF"));
  return k.get();
}
EVP_MAC* hmacAlgorithm() {
  static EVP_MAC* mac = [] {
    EVP_MAC* m = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!m) fail("HMAC");
    return m;
  }();
  return mac;
}
const EVP_MD* sha256Algorithm() {
  static EVP_MD* md = [] {
    EVP_MD* m = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!m) fail("SHA256");
    return m;
  }();
  return md;
}

Bytes derive(EVP_KDF* algorithm, OSSL_PARAM* params, std::size_t length, const char* what) {
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(algorithm));
  if (!ctx) fail(what);
  Bytes out(length);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) fail(what);
  return out;
}

// OSSL_PARAM takes non-const pointers even for inputs it only reads.
void* mut(const void* p) { return const_cast<void*>(p); }

}  // namespace

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    std::fputs("pellora: the system random source failed; stopping because nothing can continue safely\n",
               stderr);
    std::abort();
  }
  return out;
}

std::string normalizeNFC(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                    static_cast<utf8proc_ssize_t>(text.size()), &out,
                                    static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (n < 0) return std::string(text);
  std::string result(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
  std::free(out);
  return result;
}

Bytes pbkdf2(std::string_view password, ByteView salt, std::uint32_t iterations) {
  const std::string normalized = normalizeNFC(password);
  int noLowerBoundChecks = 1;  // the protocol fixes its own bounds; tests use the standard's small counts
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, mut(normalized.data()), normalized.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mut(salt.data()), salt.size()),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_ITER, &iterations),
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &noLowerBoundChecks),
      OSSL_PARAM_construct_end(),
  };
  return derive(pbkdf2Algorithm(), params, 32, "PBKDF2");
}

Bytes hkdfSha256(ByteView ikm, ByteView salt, ByteView info, std::size_t length) {
  // OpenSSL refuses empty octet strings; an absent salt is the RFC's all-zero salt, an absent info is empty.
  OSSL_PARAM params[5];
  OSSL_PARAM* p = params;
  *p++ = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0);
  *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mut(ikm.data()), ikm.size());
  if (!salt.empty()) *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mut(salt.data()), salt.size());
  if (!info.empty()) *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mut(info.data()), info.size());
  *p = OSSL_PARAM_construct_end();
  return derive(hkdfAlgorithm(), params, length, "HKDF");
}

Bytes sha256(ByteView data) {
  Bytes out(sha256Size);
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &n, sha256Algorithm(), nullptr) != 1) fail("SHA256");
  return out;
}

Bytes hmacSha256(ByteView key, ByteView data) { return HmacSha256(key).sign(data); }

bool constantTimeEqual(ByteView a, ByteView b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void Sha256::Free::operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex2(ctx_.get(), sha256Algorithm(), nullptr) != 1) fail("SHA256");
}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(ByteView data) {
  if (EVP_DigestUpdate(ctx_.get(), data.data(), data.size()) != 1) fail("SHA256");
}

Bytes Sha256::finish() {
  Bytes out(sha256Size);
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &n) != 1 ||
      EVP_DigestInit_ex2(ctx_.get(), sha256Algorithm(), nullptr) != 1)
    fail("SHA256");
  return out;
}

void HmacSha256::Free::operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }

HmacSha256::HmacSha256(ByteView key) : keyed_(EVP_MAC_CTX_new(hmacAlgorithm())) {
  static const std::uint8_t empty = 0;  // an empty key still needs a valid pointer
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (!keyed_ || EVP_MAC_init(keyed_.get(), key.empty() ? &empty : key.data(), key.size(), params) != 1)
    fail("HMAC");
}
HmacSha256::~HmacSha256() = default;
HmacSha256::HmacSha256(HmacSha256&&) noexcept = default;
HmacSha256& HmacSha256::operator=(HmacSha256&&) noexcept = default;

Bytes HmacSha256::sign(ByteView data) {
  Bytes out(sha256Size);
  std::size_t n = 0;
  // A null key restarts the context from the key it was given.
  if (EVP_MAC_init(keyed_.get(), nullptr, 0, nullptr) != 1 ||
      EVP_MAC_update(keyed_.get(), data.data(), data.size()) != 1 ||
      EVP_MAC_final(keyed_.get(), out.data(), &n, out.size()) != 1)
    fail("HMAC");
  return out;
}

}  // namespace pellora::PelloraCrypto
