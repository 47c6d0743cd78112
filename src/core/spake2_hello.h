#pragma once

// The records of handshake version 2: the server's hello and the client's finish. The client's own hello
// is the version-1 record (so that a version-1 server can answer it); it asks for version 2 with a marker
// at the start of its nonce.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/hello.h"
#include "core/spake2.h"

namespace pellora {

// The server's hello in version 2: its PBKDF2 parameters and one SPAKE2 share per password it holds (the
// session password first). Same magic as the version-1 hello, version byte 2. A plain value.
//
//   magic "PLD1" (4) | version 2 (1) | os (1) | salt (16) | iterations u32 (4) | share count n (1) |
//   n shares of 65 bytes, X9.63 uncompressed | name: u32 byte count + UTF-8, at most 256 bytes
struct Spake2Hello {
  static constexpr std::uint8_t version = 2;
  static constexpr std::size_t maxShares = 2;
  // The first bytes of a client nonce that asks for version 2. A version-1 server only hashes the nonce.
  static constexpr std::array<std::uint8_t, 4> clientMarker{'P', 'L', 'v', '2'};
  // The largest valid record: two shares and a 256-byte name.
  static constexpr std::size_t maxSize =
      Hello::magic.size() + 1 + 1 + Hello::saltSize + 4 + 1 + maxShares * Spake2::shareSize + 4 + Hello::maxName;

  PeerOS os = PeerOS::unknown;
  Bytes salt;
  std::uint32_t iterations = 0;
  std::vector<Bytes> shares;
  std::string name;

  // A client hello whose nonce carries `clientMarker`.
  static bool isAskedFor(const Hello& client);

  Bytes encode() const;
  // Throws WireError: `badMagic`, `unsupportedVersion`, `truncated`, `invalid("ServerHello")` for a share
  // count other than 1 or 2, `invalid("genel anahtar")` for a share not in uncompressed form, `tooLarge` or
  // `invalid("UTF-8")` for the name. Bytes after the name are ignored.
  static Spake2Hello decode(ByteView data);

  bool operator==(const Spake2Hello&) const = default;
};

// The client's answer in version 2: its share, then one key confirmation per server share, in the
// server's order. A plain value.
//
//   share (65) | n confirmations of 32 bytes
struct Spake2Finish {
  Bytes share;
  std::vector<Bytes> confirmations;

  Bytes encode() const;
  // `shareCount`: how many shares the server sent. Throws WireError `truncated`, or `invalid("genel
  // anahtar")` for a share not in uncompressed form. Bytes after the last confirmation are ignored.
  static Spake2Finish decode(ByteView data, std::size_t shareCount);

  bool operator==(const Spake2Finish&) const = default;
};

}  // namespace pellora
