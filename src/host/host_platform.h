#pragma once

#include <functional>
#include <memory>

#include "host/audio_source.h"
#include "host/input_event_sink.h"
#include "host/screen_capturer.h"

namespace pellora {

// How a host session reaches this computer: X11 and PulseAudio in the product (platform/linux), the
// synthetic source in demos and benchmarks, fakes in tests. A capturer is made for every capture start;
// an audio source while the viewer has sound on. A factory may throw TransportError.
struct HostPlatform {
  std::function<std::unique_ptr<ScreenCapturer>()> makeCapturer;
  std::function<std::unique_ptr<InputEventSink>()> makeInputSink;
  std::function<std::unique_ptr<AudioSource>()> makeAudioSource;  // may be empty: no sound
};

}  // namespace pellora
