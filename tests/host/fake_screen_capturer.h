#pragma once

// A capturer for session tests: the test hands frames in through the shared `Screen`, which also records
// every start and stop.

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "host/screen_capturer.h"

namespace pellora::test {

// A mid-grey frame, changed in `dirty` (all of it when empty).
inline CapturedFrame greyFrame(int width, int height, std::vector<PixelRect> dirty = {}) {
  auto image = I420Frame::allocate(width, height);
  for (auto* plane : {&image->y, &image->u, &image->v}) std::fill(plane->begin(), plane->end(), 0x80);
  return {image, 1'000, std::move(dirty)};
}

struct FakeScreen {
  struct Start {
    std::uint32_t displayID;
    int maxDimension, fps;
  };

  std::mutex lock;
  std::vector<DisplayInfo> displays{{7, 640, 480, true, "Ekran 7"}, {9, 320, 240, false, "Ekran 9"}};
  int width = 320, height = 240;  // what every start reports
  std::vector<Start> starts;
  int stops = 0;
  std::function<void(const CapturedFrame&)> onFrame;  // the running capturer's

  int startCount() {
    std::lock_guard guard(lock);
    return static_cast<int>(starts.size());
  }
  Start lastStart() {
    std::lock_guard guard(lock);
    return starts.back();
  }
  // Hands `frame` to the running capture, as a capture thread would; false when none runs.
  bool deliver(const CapturedFrame& frame) {
    std::function<void(const CapturedFrame&)> f;
    {
      std::lock_guard guard(lock);
      f = onFrame;
    }
    if (f) f(frame);
    return static_cast<bool>(f);
  }
};

class FakeScreenCapturer : public ScreenCapturer {
 public:
  explicit FakeScreenCapturer(std::shared_ptr<FakeScreen> screen) : screen_(std::move(screen)) {}
  ~FakeScreenCapturer() override { stop(); }

  std::vector<DisplayInfo> displays() override {
    std::lock_guard guard(screen_->lock);
    return screen_->displays;
  }
  CaptureInfo start(std::uint32_t displayID, int maxDimension, int fps) override {
    std::lock_guard guard(screen_->lock);
    screen_->starts.push_back({displayID, maxDimension, fps});
    screen_->onFrame = onFrame;
    running_ = true;
    return {screen_->width, screen_->height, {0, 0, screen_->width, screen_->height}};
  }
  void stop() override {
    std::lock_guard guard(screen_->lock);
    if (!running_) return;
    running_ = false;
    ++screen_->stops;
    screen_->onFrame = nullptr;
  }

 private:
  std::shared_ptr<FakeScreen> screen_;
  bool running_ = false;
};

}  // namespace pellora::test
