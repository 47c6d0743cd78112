#pragma once

#include <memory>
#include <string>

#include "host/screen_capturer.h"
#include "platform/linux/remote_desktop_session.h"

namespace pellora {

// Captures one monitor of a Wayland session: a remote-desktop session of the compositor (see WaylandDesktop)
// records the monitor into a PipeWire video stream, taken as shared-memory BGRx/BGRA. Frames are paced at the requested
// rate on the capturer's own thread; changed rectangles come from the stream's damage metadata (the whole
// frame without it), the cursor from its metadata, drawn into the picture; libyuv converts and scales as
// on X11. Displays are the desktop's; the running session is published on the desktop for input and
// clipboard. Owned by the host session; the frame and stop callbacks
// run on the capture thread.
class ScreenCapturerPipeWire final : public ScreenCapturer {
 public:
  explicit ScreenCapturerPipeWire(std::shared_ptr<WaylandDesktop> desktop);
  ~ScreenCapturerPipeWire() override;

  std::vector<DisplayInfo> displays() override;
  CaptureInfo start(std::uint32_t displayID, int maxDimension, int fps) override;
  void stop() override;

 private:
  struct Session;
  std::shared_ptr<WaylandDesktop> desktop_;
  std::shared_ptr<Session> session_;
};

}  // namespace pellora
