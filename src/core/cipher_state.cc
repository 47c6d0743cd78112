#include "core/cipher_state.h"

#include <openssl/evp.h>

#include <algorithm>
#include <limits>

#include "core/crypto_error.h"

namespace pellora {

namespace {

const EVP_CIPHER* aes256Gcm() {
  static EVP_CIPHER* cipher = [] {
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    if (!c) throw CryptoError::fromLibrary("AES-256-GCM");
    return c;
  }();
  return cipher;
}

}  // namespace

void CipherState::Free::operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }

CipherState::CipherState(ByteView key) : ctx_(EVP_CIPHER_CTX_new()) {
  if (key.size() != keySize) throw CryptoError::fromLibrary("AES-256-GCM key size");
  if (!ctx_) throw CryptoError::fromLibrary("AES-256-GCM");
  std::copy(key.begin(), key.end(), key_.begin());
}

CipherState::~CipherState() = default;
CipherState::CipherState(CipherState&&) noexcept = default;
CipherState& CipherState::operator=(CipherState&&) noexcept = default;

CipherState::CipherState(const CipherState& other) : CipherState(other.key_) { counter_ = other.counter_; }

CipherState& CipherState::operator=(const CipherState& other) {
  if (this != &other) *this = CipherState(other);
  return *this;
}

std::array<std::uint8_t, CipherState::nonceSize> CipherState::nonce(std::uint64_t counter) {
  std::array<std::uint8_t, nonceSize> n{};
  for (int i = 0; i < 8; ++i) n[4 + i] = static_cast<std::uint8_t>(counter >> (56 - 8 * i));
  return n;
}

std::uint64_t CipherState::nextCounter() {
  // A nonce is never used twice under one key.
  if (counter_ == std::numeric_limits<std::uint64_t>::max()) throw CryptoError::fromLibrary("record counter");
  return counter_++;
}

// The key schedule is set up once per direction of use; each record only sets its nonce.
void CipherState::prepare(bool encrypt) {
  const int mode = encrypt ? 1 : 0;
  if (mode_ == mode) return;
  if (EVP_CipherInit_ex2(ctx_.get(), aes256Gcm(), key_.data(), nullptr, mode, nullptr) != 1)
    throw CryptoError::fromLibrary("AES-256-GCM");
  mode_ = mode;
}

Bytes CipherState::seal(ByteView plaintext) {
  Bytes out(plaintext.size() + tagSize);
  sealInto(plaintext, out.data());
  return out;
}

void CipherState::sealInto(ByteView plaintext, std::uint8_t* out) {
  const auto iv = nonce(nextCounter());
  prepare(true);
  int n = 0, tail = 0;
  if (EVP_EncryptInit_ex2(ctx_.get(), nullptr, nullptr, iv.data(), nullptr) != 1 ||
      (!plaintext.empty() &&
       EVP_EncryptUpdate(ctx_.get(), out, &n, plaintext.data(), static_cast<int>(plaintext.size())) != 1) ||
      EVP_EncryptFinal_ex(ctx_.get(), out + n, &tail) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_GET_TAG, tagSize, out + plaintext.size()) != 1)
    throw CryptoError::fromLibrary("AES-256-GCM seal");
}

Bytes CipherState::open(ByteView record) {
  Bytes copy(record.begin(), record.end());
  const std::size_t length = openInPlace(copy).size();
  copy.resize(length);
  return copy;
}

std::span<std::uint8_t> CipherState::openInPlace(std::span<std::uint8_t> record) {
  if (record.size() < tagSize) throw WireError::truncated();
  const auto iv = nonce(nextCounter());
  const std::size_t length = record.size() - tagSize;
  prepare(false);
  int n = 0, tail = 0;
  if (EVP_DecryptInit_ex2(ctx_.get(), nullptr, nullptr, iv.data(), nullptr) != 1 ||
      (length > 0 && EVP_DecryptUpdate(ctx_.get(), record.data(), &n, record.data(), static_cast<int>(length)) != 1) ||
      EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_TAG, tagSize, record.data() + length) != 1)
    throw CryptoError::fromLibrary("AES-256-GCM open");
  if (EVP_DecryptFinal_ex(ctx_.get(), record.data() + n, &tail) != 1) throw CryptoError::authenticationFailure();
  return record.first(length);
}

}  // namespace pellora
