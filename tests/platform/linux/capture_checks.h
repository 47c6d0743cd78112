#pragma once

// What the screen-capture tests check: frames collected from a capturer's thread, colours of the I420
// output, and whether changed rectangles cover an area.

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/screen_capturer.h"

namespace pellora::test {

// Collects what a capturer delivers on its thread.
class Frames {
 public:
  explicit Frames(ScreenCapturer& capturer) {
    capturer.onFrame = [this](const CapturedFrame& f) {
      std::lock_guard lock(mutex_);
      frames_.push_back(f);
      changed_.notify_all();
    };
    capturer.onStop = [this](const std::string& reason) {
      std::lock_guard lock(mutex_);
      stopReason_ = reason;
      changed_.notify_all();
    };
  }

  // The first frame that satisfies `accept`, within a few seconds; `dirty` gathers the changed
  // rectangles of every frame seen on the way, that one included.
  std::optional<CapturedFrame> waitFor(const std::function<bool(const I420Frame&)>& accept,
                                       std::vector<PixelRect>* dirty = nullptr,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      while (!frames_.empty()) {
        CapturedFrame f = std::move(frames_.front());
        frames_.erase(frames_.begin());
        if (dirty) dirty->insert(dirty->end(), f.dirty.begin(), f.dirty.end());
        if (accept(*f.image)) return f;
      }
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && frames_.empty()) return std::nullopt;
    }
  }

  std::optional<std::string> waitForStop() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [this] { return stopReason_.has_value(); });
    return stopReason_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<CapturedFrame> frames_;
  std::optional<std::string> stopReason_;
};

struct Yuv {
  int y, u, v;
};

// BT.601 video range, as the converter produces it.
inline Yuv yuvOf(std::uint32_t rgb) {
  const int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return {((66 * r + 129 * g + 25 * b + 128) >> 8) + 16, ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128,
          ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128};
}

inline bool looksLike(const I420Frame& f, int x, int y, std::uint32_t rgb, int tolerance = 4) {
  const Yuv want = yuvOf(rgb);
  const std::size_t c = static_cast<std::size_t>(y / 2) * f.strideU + x / 2;
  return std::abs(f.y[static_cast<std::size_t>(y) * f.strideY + x] - want.y) <= tolerance &&
         std::abs(f.u[c] - want.u) <= tolerance && std::abs(f.v[c] - want.v) <= tolerance;
}

// Every pixel of the rectangle's inside (a pixel in from its edges, where scaling blends) looks like rgb.
inline bool insideLooksLike(const I420Frame& f, PixelRect r, std::uint32_t rgb) {
  for (int y = r.y + 2; y < r.y + r.height - 2; ++y) {
    for (int x = r.x + 2; x < r.x + r.width - 2; ++x) {
      if (!looksLike(f, x, y, rgb)) return false;
    }
  }
  return true;
}

inline bool covered(const std::vector<PixelRect>& rects, PixelRect r) {
  for (int y = r.y; y < r.y + r.height; ++y) {
    for (int x = r.x; x < r.x + r.width; ++x) {
      bool in = false;
      for (const PixelRect& d : rects) in = in || (x >= d.x && x < d.x + d.width && y >= d.y && y < d.y + d.height);
      if (!in) return false;
    }
  }
  return true;
}

}  // namespace pellora::test
