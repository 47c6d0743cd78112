#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/message.h"
#include "host/captured_frame.h"

namespace pellora {

// Result of a capture start: the output size in pixels and the captured display's bounds in the global
// screen space (the input injector maps pointer positions into them).
struct CaptureInfo {
  int width = 0, height = 0;
  PixelRect displayBounds;
};

// Captures one display. One start per capturer: the session makes a new one for every restart.
// Frames arrive on the capturer's own thread; `stop()` returns only after the last callback has finished,
// and no callback runs after it. Callbacks are set before `start`.
class ScreenCapturer {
 public:
  virtual ~ScreenCapturer() = default;

  // The displays a viewer may choose from; empty when they cannot be read.
  virtual std::vector<DisplayInfo> displays() = 0;
  // Starts capturing `displayID` (the first display when it does not exist), scaled so that neither side
  // exceeds `maxDimension`, at most `fps` frames a second. Throws TransportError.
  virtual CaptureInfo start(std::uint32_t displayID, int maxDimension, int fps) = 0;
  virtual void stop() = 0;

  std::function<void(const CapturedFrame&)> onFrame;
  // The capture ended on its own (display removed, display server gone); carries the reason.
  std::function<void(const std::string&)> onStop;
};

}  // namespace pellora
