#include "host/audio_samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pellora {

namespace {

bool isSupported(const AudioFormat& f) {
  // The rate is compared as an integer, as the capture reports it.
  return f.linearPCM && f.isFloat && f.bitsPerChannel == 32 && std::isfinite(f.sampleRate) &&
         f.sampleRate >= 0 && f.sampleRate < 1e9 && static_cast<long>(f.sampleRate) == 48'000;
}

// Whether `b` holds `count` floats; written as a division so that a huge frame count cannot overflow.
bool holds(ByteView b, std::size_t count) {
  return b.data() != nullptr && b.size() / sizeof(float) >= count;
}

float sampleAt(ByteView b, std::size_t index) {
  float v;
  std::memcpy(&v, b.data() + index * sizeof(float), sizeof v);  // captured memory need not be aligned
  return v;
}

}  // namespace

std::optional<std::vector<float>> AudioSamples::interleaved(const AudioSampleBuffer& buffer, int channels) {
  const AudioFormat& f = buffer.format;
  if (!isSupported(f) || channels <= 0) return std::nullopt;
  const auto sourceChannels = static_cast<std::size_t>(std::max(f.channels, 0));
  const std::size_t frames = buffer.frames;
  if (sourceChannels == 0 || frames == 0) return std::nullopt;

  if (f.interleaved) {
    if (buffer.buffers.empty() || frames > buffer.buffers[0].size() / sizeof(float) / sourceChannels)
      return std::nullopt;
  } else {
    for (std::size_t c = 0; c < std::min(sourceChannels, static_cast<std::size_t>(channels)); ++c)
      if (c >= buffer.buffers.size() || !holds(buffer.buffers[c], frames)) return std::nullopt;
  }

  const auto out = static_cast<std::size_t>(channels);
  std::vector<float> result(frames * out);
  for (std::size_t c = 0; c < out; ++c) {
    const std::size_t source = std::min(c, sourceChannels - 1);
    for (std::size_t i = 0; i < frames; ++i) {
      result[i * out + c] = f.interleaved ? sampleAt(buffer.buffers[0], i * sourceChannels + source)
                                          : sampleAt(buffer.buffers[source], i);
    }
  }
  return result;
}

}  // namespace pellora
