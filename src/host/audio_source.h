#pragma once

#include <functional>

#include "host/audio_samples.h"

namespace pellora {

// The computer's own sound output, captured for the host session: 48 kHz float stereo.
// `onAudio` runs on the source's own thread ("pellora.capture.audio"), one buffer at a time; it is set
// before `start` and must not call `stop`. After `stop()` returns no callback runs.
class AudioSource {
 public:
  virtual ~AudioSource() = default;

  // Throws TransportError when the sound system cannot be reached.
  virtual void start() = 0;
  virtual void stop() = 0;

  std::function<void(const AudioSampleBuffer&)> onAudio;
};

}  // namespace pellora
