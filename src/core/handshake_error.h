#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/wire_error.h"

namespace pellora {

// The server's answer to the client's proof; one byte on the wire.
enum class HandshakeStatus : std::uint8_t { ok = 0, badPassword = 1, rejected = 2, busy = 3, locked = 4 };

// Every byte of 5 or more reads as `rejected`.
HandshakeStatus handshakeStatusFromByte(std::uint8_t raw);
// The Turkish text the user sees.
std::string_view description(HandshakeStatus status);

// Failures of the handshake itself. Decoding failures are thrown as WireError and transport failures as
// TransportError; `wire` exists for callers that need to carry a WireError inside this type.
class HandshakeError : public std::exception {
 public:
  enum class Kind { status, badIterations, wire, badServerProof, downgraded };

  static HandshakeError status(HandshakeStatus s);
  static HandshakeError badIterations(std::uint32_t announced);
  static HandshakeError wire(const WireError& error);
  static HandshakeError badServerProof();
  // A target pinned to version 2 answered in version 1 (an old host, or someone in between who strips
  // the request for version 2).
  static HandshakeError downgraded();

  Kind kind() const { return kind_; }
  HandshakeStatus handshakeStatus() const { return status_; }
  std::uint32_t iterations() const { return iterations_; }

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const HandshakeError& o) const {
    return kind_ == o.kind_ && status_ == o.status_ && iterations_ == o.iterations_ && description_ == o.description_;
  }

 private:
  HandshakeError(Kind kind, std::string description) : kind_(kind), description_(std::move(description)) {}

  Kind kind_;
  HandshakeStatus status_ = HandshakeStatus::ok;
  std::uint32_t iterations_ = 0;
  std::string description_;
};

}  // namespace pellora
