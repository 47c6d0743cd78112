#pragma once

#include <vector>

#include "host/audio_source.h"
#include "core/transport_error.h"

namespace pellora {

// An audio source for tests: `deliver` hands interleaved float stereo to `onAudio` on the caller's thread.
class FakeAudioSource : public AudioSource {
 public:
  void start() override {
    if (failStart) throw TransportError::connectFailed("fake audio source");
    running = true;
  }
  void stop() override { running = false; }

  void deliver(const std::vector<float>& stereo) {
    if (!running || !onAudio) return;
    AudioSampleBuffer b;
    b.frames = stereo.size() / 2;
    b.buffers.push_back(ByteView(reinterpret_cast<const std::uint8_t*>(stereo.data()), stereo.size() * sizeof(float)));
    onAudio(b);
  }

  bool failStart = false;
  bool running = false;
};

}  // namespace pellora
