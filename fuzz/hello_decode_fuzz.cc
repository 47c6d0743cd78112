// Any input either decodes as a client or a server hello or throws WireError; a decoded hello re-encodes to
// bytes that decode to the same hello.

#include <cstdlib>

#include "core/hello.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellora;
  for (const bool server : {false, true}) {
    Hello decoded;
    try {
      decoded = Hello::decode(ByteView(data, size), server);
    } catch (const WireError&) {
      continue;
    }
    if (decoded.publicKey.size() != 65 || decoded.nonce.size() != 32 || decoded.salt.has_value() != server ||
        decoded.name.size() > Hello::maxName)
      std::abort();
    // Every byte that names no known system decodes as `unknown`, so compare after one round trip.
    const Hello again = Hello::decode(decoded.encode(), server);
    if (!(again == decoded)) std::abort();
  }
  return 0;
}
