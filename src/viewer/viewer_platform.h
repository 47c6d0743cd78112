#pragma once

#include <functional>
#include <memory>

#include "support/clipboard.h"
#include "viewer/audio_output.h"

namespace pellora {

// How a viewer session reaches this computer: PulseAudio and the X11 clipboard in the product
// (platform/linux), fakes in tests. An audio output is made for every `audioConfig`.
struct ViewerPlatform {
  std::function<std::unique_ptr<AudioOutput>()> makeAudioOutput;  // may be empty: no sound
  std::shared_ptr<Clipboard> clipboard;                           // may be null: no clipboard
};

}  // namespace pellora
