#include "host/synthetic_screen_capturer.h"

#include <algorithm>
#include <chrono>

#include "host/capture_size.h"
#include "base/monotonic_clock.h"
#include "host/frame_stamp.h"
#include "host/synthetic_frame_source.h"

namespace pellora {

SyntheticScreenCapturer::SyntheticScreenCapturer(Options options) : options_(options) {}

SyntheticScreenCapturer::~SyntheticScreenCapturer() { stop(); }

std::vector<DisplayInfo> SyntheticScreenCapturer::displays() {
  auto side = [](int v) { return static_cast<std::uint16_t>(std::clamp(v, 0, 65535)); };
  return {{displayID, side(options_.width), side(options_.height), true, "Ekran " + std::to_string(displayID)}};
}

CaptureInfo SyntheticScreenCapturer::start(std::uint32_t, int maxDimension, int fps) {
  stop();
  const PixelSize size = outputSize(options_.width, options_.height, maxDimension);
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this, size, fps] { run(size.width, size.height, std::max(fps, 1)); });
  return {size.width, size.height, {0, 0, options_.width, options_.height}};
}

void SyntheticScreenCapturer::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SyntheticScreenCapturer::run(int width, int height, int fps) {
  using Clock = std::chrono::steady_clock;
  SyntheticFrameSource source(width, height, options_.changeFraction);
  const auto period = std::chrono::nanoseconds(1'000'000'000 / fps);
  auto due = Clock::now();
  std::unique_lock lock(mutex_);
  while (!wake_.wait_until(lock, due, [this] { return stopping_; })) {
    lock.unlock();
    CapturedFrame frame = source.next(monotonicMicros());
    if (onFrame) onFrame(frame);
    lock.lock();
    // A slow consumer gets fewer frames, never a burst of late ones.
    due = std::max(due + period, Clock::now());
  }
}

}  // namespace pellora
