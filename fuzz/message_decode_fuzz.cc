// Any input either decodes or throws WireError; a decoded message re-encodes to bytes that decode to the
// same message (compared through a second encoding, so that NaN coordinates compare equal).

#include <cstdlib>

#include "core/message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellora;
  Message decoded;
  try {
    decoded = Message::decode(ByteView(data, size));
  } catch (const WireError&) {
    return 0;
  }
  const Bytes once = decoded.encode();
  const Bytes twice = Message::decode(once).encode();
  if (once != twice) std::abort();
  return 0;
}
