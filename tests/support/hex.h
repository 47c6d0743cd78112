#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace pellora::test {

// Hex digits, spaces between them allowed, as bytes.
inline Bytes fromHex(std::string_view hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("not a hex digit");
  };
  Bytes out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits.push_back(c);
  if (digits.size() % 2) throw std::invalid_argument("odd number of hex digits");
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
  return out;
}

inline std::string toHex(ByteView bytes) { return hexString(bytes); }

}  // namespace pellora::test
