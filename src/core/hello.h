#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "core/message.h"

namespace pellora {

// The first record each side of the handshake sends: who it is and its ephemeral key. A plain value.
struct Hello {
  static constexpr std::array<std::uint8_t, 4> magic{'P', 'L', 'D', '1'};
  static constexpr std::uint8_t version = 1;
  static constexpr std::uint32_t maxName = 256;
  static constexpr std::size_t nonceSize = 32;
  static constexpr std::size_t saltSize = 16;
  // The largest valid record: a server hello with a name of `maxName` bytes.
  static constexpr std::size_t maxSize = magic.size() + 1 + 1 + 65 + nonceSize + saltSize + 4 + 4 + maxName;

  PeerOS os = PeerOS::unknown;
  Bytes publicKey;  // 65 bytes, X9.63 uncompressed
  Bytes nonce;      // 32 random bytes
  std::optional<Bytes> salt;                 // server only: 16 bytes of PBKDF2 salt
  std::optional<std::uint32_t> iterations;  // server only: the PBKDF2 count
  std::string name;

  // Salt and iterations are written only when both are present.
  Bytes encode() const;
  // `server`: the record comes from a server and carries salt and iterations. Throws WireError
  // (`badMagic`, `unsupportedVersion`, `invalid("genel anahtar")`, `truncated`, `tooLarge`,
  // `invalid("UTF-8")`). Bytes after the name are ignored.
  static Hello decode(ByteView data, bool server);
  // Consumes the magic and returns the version byte that follows, so that a client can tell which
  // version the server answered in. Throws `badMagic` or `truncated`.
  static std::uint8_t readHeader(ByteReader& r);

  bool operator==(const Hello&) const = default;
};

}  // namespace pellora
