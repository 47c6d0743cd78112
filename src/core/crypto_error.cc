#include "core/crypto_error.h"

#include <openssl/err.h>

namespace pellora {

CryptoError CryptoError::fromLibrary(const char* what) {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return CryptoError(Kind::library, std::string(what) + " failed");
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return CryptoError(Kind::library, text);
}

}  // namespace pellora
