#pragma once

#include <memory>
#include <string>

#include "host/screen_capturer.h"

namespace pellora {

// Captures one X11 monitor: MIT-SHM grabs paced at the requested rate on its own thread, XDamage for the
// changed rectangles (full grabs compared with the previous one when the server lacks it), the XFixes
// cursor drawn into the picture, libyuv for the conversion to I420 and the scaling. Displays are the RandR
// monitors. Owned by the host session; the frame and stop callbacks run on the capture thread.
class ScreenCapturerX11 final : public ScreenCapturer {
 public:
  // `xDisplay` names the X server (":1"); empty means $DISPLAY.
  explicit ScreenCapturerX11(std::string xDisplay = {});
  ~ScreenCapturerX11() override;

  std::vector<DisplayInfo> displays() override;
  CaptureInfo start(std::uint32_t displayID, int maxDimension, int fps) override;
  void stop() override;

 private:
  struct Session;
  std::string xDisplay_;
  std::shared_ptr<Session> session_;
};

}  // namespace pellora
