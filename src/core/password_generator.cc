#include "core/password_generator.h"

#include "core/crypto.h"

namespace pellora::PasswordGenerator {

std::string make(int length) { return make(length, PelloraCrypto::randomBytes); }

std::string make(int length, const RandomSource& random) {
  std::string result;
  if (length <= 0) return result;
  const auto wanted = static_cast<std::size_t>(length);
  constexpr unsigned size = alphabet.size();     // 31
  constexpr unsigned limit = 256 - 256 % size;  // 248: bytes at or above it would bias the choice
  result.reserve(wanted);
  while (result.size() < wanted) {
    // Twice as many bytes as needed: one pass almost always suffices (8 in 256 bytes are rejected).
    for (std::uint8_t b : random(2 * wanted)) {
      if (b < limit && result.size() < wanted) result.push_back(alphabet[b % size]);
    }
  }
  return result;
}

}  // namespace pellora::PasswordGenerator
