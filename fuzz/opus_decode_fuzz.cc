// Any bytes as an Opus packet, on a mono and a stereo decoder that keep their state across inputs as a
// player's does: no crash, and never more than one 20 ms frame of whole frames out.

#include <cstdlib>

#include "core/opus_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Qualified: the library's own handle type is also called OpusDecoder.
  static pellora::OpusDecoder mono(1), stereo(2);
  for (pellora::OpusDecoder* decoder : {&mono, &stereo}) {
    const std::vector<float> out = decoder->decode(pellora::ByteView(data, size));
    const auto channels = static_cast<std::size_t>(decoder->channels());
    if (out.size() > channels * pellora::Opus::frameSize || out.size() % channels != 0) std::abort();
    if (size == 0 && !out.empty()) std::abort();
  }
  return 0;
}
