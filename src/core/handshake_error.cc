#include "core/handshake_error.h"

namespace pellora {

HandshakeStatus handshakeStatusFromByte(std::uint8_t raw) {
  return raw <= static_cast<std::uint8_t>(HandshakeStatus::locked) ? static_cast<HandshakeStatus>(raw)
                                                                    : HandshakeStatus::rejected;
}

std::string_view description(HandshakeStatus status) {
  switch (status) {
    case HandshakeStatus::ok: return "Tamam";
    case HandshakeStatus::badPassword: return "Parola yanlış";
    case HandshakeStatus::rejected: return "Karşı taraf bağlantıyı reddetti";
    case HandshakeStatus::busy: return "Karşı taraf şu an başka bir oturumda";
    case HandshakeStatus::locked: return "Çok fazla hatalı deneme; biraz sonra tekrar deneyin";
  }
  return "Karşı taraf bağlantıyı reddetti";
}

HandshakeError HandshakeError::status(HandshakeStatus s) {
  HandshakeError e(Kind::status, std::string(pellora::description(s)));
  e.status_ = s;
  return e;
}

HandshakeError HandshakeError::badIterations(std::uint32_t announced) {
  HandshakeError e(Kind::badIterations,
                   "Geçersiz anahtar türetme parametresi (" + std::to_string(announced) + ")");
  e.iterations_ = announced;
  return e;
}

HandshakeError HandshakeError::wire(const WireError& error) { return HandshakeError(Kind::wire, error.description()); }

HandshakeError HandshakeError::badServerProof() {
  return HandshakeError(Kind::badServerProof, "Karşı tarafın kimliği doğrulanamadı");
}

HandshakeError HandshakeError::downgraded() {
  return HandshakeError(Kind::downgraded,
                        "Karşı taraf eski el sıkışma sürümüyle yanıt verdi; bu hedef sürüm 2'ye sabitlendi");
}

}  // namespace pellora
