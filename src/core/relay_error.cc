#include "core/relay_error.h"

namespace pellora {

namespace {
std::string describe(RelayError::Kind kind, int status, const std::string& code) {
  if (kind == RelayError::Kind::badURL) return "Geçersiz relay adresi";
  if (code == "auth") return "Relay kimliği doğrulanamadı";
  if (code == "capacity") return "Relay şu an dolu";
  if (code == "rate-limit") return "Çok fazla deneme; biraz bekleyin";
  if (code == "timeout") return "Karşı bilgisayar yanıt vermedi";
  if (code == "offline") return "Karşı bilgisayar çevrimdışı ya da kimlik yanlış";
  return "Relay hatası " + std::to_string(status) + " " + code;
}
}  // namespace

RelayError::RelayError(Kind kind, int status, std::string code)
    : kind_(kind), status_(status), code_(std::move(code)), description_(describe(kind_, status_, code_)) {}

}  // namespace pellora
