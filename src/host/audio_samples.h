#pragma once

// Captured sound as an audio source hands it over, and its conversion into what the Opus encoder takes.

#include <cstddef>
#include <optional>
#include <vector>

#include "core/bytes.h"

namespace pellora {

// The layout of a captured buffer.
struct AudioFormat {
  bool linearPCM = true;
  bool isFloat = true;
  int bitsPerChannel = 32;
  double sampleRate = 48'000;
  int channels = 2;  // per frame
  bool interleaved = true;
};

// One captured buffer: `frames` frames in native byte order, either interleaved in `buffers[0]` or one
// buffer per channel. The views belong to the source and are valid only during the callback.
struct AudioSampleBuffer {
  AudioFormat format;
  std::size_t frames = 0;
  std::vector<ByteView> buffers;
};

struct AudioSamples {
  // `channels` interleaved float samples per frame of `buffer`: a mono source feeds every output channel,
  // source channels beyond `channels` are dropped. None unless the buffer is 48 kHz 32-bit float linear
  // PCM whose buffers hold every frame they announce.
  static std::optional<std::vector<float>> interleaved(const AudioSampleBuffer& buffer, int channels);
};

}  // namespace pellora
