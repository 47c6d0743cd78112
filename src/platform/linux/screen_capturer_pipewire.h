#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/screen_capturer.h"

namespace pellora {

class MutterRemoteDesktop;

// Where the Wayland input sink finds the remote-desktop session of the running capture: the capturer
// publishes its session here on start and withdraws it on stop. Shared by the capturers and the input sink
// of one host; thread-safe.
class WaylandSessionSlot {
 public:
  void set(std::shared_ptr<MutterRemoteDesktop> session);
  void clear(const MutterRemoteDesktop* session);  // only when it is still the published one
  std::shared_ptr<MutterRemoteDesktop> get() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<MutterRemoteDesktop> session_;
};

// Captures one monitor of a GNOME Wayland session: a remote-desktop session of the compositor records the
// monitor into a PipeWire video stream, taken as shared-memory BGRx/BGRA. Frames are paced at the requested
// rate on the capturer's own thread; changed rectangles come from the stream's damage metadata (the whole
// frame without it), the cursor from its metadata, drawn into the picture; libyuv converts and scales as
// on X11. Displays are the compositor's monitors. Owned by the host session; the frame and stop callbacks
// run on the capture thread.
class ScreenCapturerPipeWire final : public ScreenCapturer {
 public:
  explicit ScreenCapturerPipeWire(std::shared_ptr<WaylandSessionSlot> slot = nullptr);
  ~ScreenCapturerPipeWire() override;

  std::vector<DisplayInfo> displays() override;
  CaptureInfo start(std::uint32_t displayID, int maxDimension, int fps) override;
  void stop() override;

 private:
  struct Session;
  std::shared_ptr<WaylandSessionSlot> slot_;
  std::shared_ptr<Session> session_;
};

}  // namespace pellora
