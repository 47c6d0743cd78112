#include "core/wire_error.h"

namespace pellora {

namespace {
std::string describe(WireError::Kind kind, std::int64_t number, const std::string& text) {
  switch (kind) {
    case WireError::Kind::tooLarge:
      return "Çerçeve çok büyük (" + std::to_string(number) + " bayt)";
    case WireError::Kind::unsupportedVersion:
      return "Desteklenmeyen protokol sürümü " + std::to_string(number);
    case WireError::Kind::invalid:
      return "Geçersiz veri: " + text;
    case WireError::Kind::truncated:
      return "Eksik veri";
    case WireError::Kind::badMagic:
      return "Tanınmayan protokol";
  }
  return {};
}
}  // namespace

WireError::WireError(Kind kind, std::int64_t number, std::string text)
    : kind_(kind), number_(number), text_(std::move(text)), description_(describe(kind_, number_, text_)) {}

}  // namespace pellora
