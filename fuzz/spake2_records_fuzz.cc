// Any input either decodes as a version-2 server hello or a client finish (for one or two server shares)
// or throws WireError; whatever decodes is within its bounds and re-encodes to bytes that decode to the same.

#include <cstdlib>

#include "core/spake2_hello.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellora;
  const ByteView input(data, size);
  try {
    const Spake2Hello hello = Spake2Hello::decode(input);
    if (hello.shares.empty() || hello.shares.size() > Spake2Hello::maxShares || hello.salt.size() != Hello::saltSize ||
        hello.name.size() > Hello::maxName)
      std::abort();
    for (const Bytes& share : hello.shares)
      if (share.size() != Spake2::shareSize || share[0] != 0x04) std::abort();
    const Bytes encoded = hello.encode();
    if (encoded.size() > Spake2Hello::maxSize) std::abort();
    // Unknown systems decode as `unknown`, so compare after one round trip.
    const Spake2Hello again = Spake2Hello::decode(encoded);
    if (!(Spake2Hello::decode(again.encode()) == again)) std::abort();
  } catch (const WireError&) {
  }
  for (const std::size_t shares : {std::size_t{1}, Spake2Hello::maxShares}) {
    try {
      const Spake2Finish finish = Spake2Finish::decode(input, shares);
      if (finish.share.size() != Spake2::shareSize || finish.confirmations.size() != shares) std::abort();
      if (!(Spake2Finish::decode(finish.encode(), shares) == finish)) std::abort();
    } catch (const WireError&) {
    }
  }
  return 0;
}
