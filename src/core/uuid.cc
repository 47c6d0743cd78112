#include "core/uuid.h"

#include <cstdio>

#include "core/crypto.h"

namespace pellora::UUID {

std::string v4() {
  Bytes b = PelloraCrypto::randomBytes(16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

}  // namespace pellora::UUID
