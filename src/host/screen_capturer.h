#pragma once

#include <algorithm>
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
  // Starts capturing `displayID` (the main display for 0 or an id that does not exist), scaled so that
  // neither side exceeds `maxDimension`, at most `fps` frames a second. Throws TransportError.
  virtual CaptureInfo start(std::uint32_t displayID, int maxDimension, int fps) = 0;
  virtual void stop() = 0;

  std::function<void(const CapturedFrame&)> onFrame;
  // The capture ended on its own (display removed, display server gone); carries the reason.
  std::function<void(const std::string&)> onStop;
};

// The rules every capturer shares for a list of displays (`Display` has `id`, `primary` and `rect`): one is
// the main display; when the system marks none, the one at the desktop's origin, else the first. So the
// display a viewer sees marked is the one that display id 0 captures.
template <typename Display>
void markMainDisplay(std::vector<Display>& displays) {
  if (displays.empty() || std::any_of(displays.begin(), displays.end(), [](const Display& d) { return d.primary; }))
    return;
  const auto atOrigin = std::find_if(displays.begin(), displays.end(),
                                     [](const Display& d) { return d.rect.x == 0 && d.rect.y == 0; });
  (atOrigin != displays.end() ? *atOrigin : displays.front()).primary = true;
}

// The display a capture of `displayID` shows: that one, else (0, or one that went away) the main one, else
// the first. Null only for an empty list.
template <typename Display>
const Display* chooseDisplay(const std::vector<Display>& displays, std::uint32_t displayID) {
  const auto find = [&](auto matches) {
    const auto found = std::find_if(displays.begin(), displays.end(), matches);
    return found == displays.end() ? nullptr : &*found;
  };
  if (const Display* exact = find([&](const Display& d) { return d.id == displayID && displayID != 0; })) return exact;
  if (const Display* main = find([](const Display& d) { return d.primary; })) return main;
  return displays.empty() ? nullptr : &displays.front();
}

}  // namespace pellora
