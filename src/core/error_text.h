#pragma once

#include <exception>
#include <string>

namespace pellora {

// The text a user sees for a failure that crossed a coroutine: every error type of the layers (WireError,
// TransportError, HandshakeError, RelayError, TransferError, OpusError, CryptoError) carries its Turkish
// description as what(); anything else gives its own what(), or "?".
std::string errorText(const std::exception_ptr& error);

}  // namespace pellora
