#pragma once

// A ScreenCapturer without a display: one synthetic screen, drawn at the output size on the capturer's
// own thread at the requested frame rate.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/screen_capturer.h"

namespace pellora {

class SyntheticScreenCapturer : public ScreenCapturer {
 public:
  struct Options {
    int width = 1920, height = 1080;  // the synthetic display, in pixels
    double changeFraction = 0.1;      // see SyntheticFrameSource
  };
  static constexpr std::uint32_t displayID = 1;

  explicit SyntheticScreenCapturer(Options options);
  SyntheticScreenCapturer() : SyntheticScreenCapturer(Options{}) {}
  ~SyntheticScreenCapturer() override;

  std::vector<DisplayInfo> displays() override;
  // Any display id captures the one synthetic display. Frames arrive on the capturer's thread.
  CaptureInfo start(std::uint32_t displayID, int maxDimension, int fps) override;
  void stop() override;

 private:
  void run(int width, int height, int fps);

  Options options_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace pellora
