#pragma once

// The remote screen view's arithmetic, kept free of widgets so that every rule is tested on plain numbers:
// where the picture sits in the view, where a pointer lands on the remote picture, how often motion is
// sent, and the click and wheel figures of the messages. Values only; thread-free.

#include <chrono>
#include <cstdint>

namespace pellora::ui {

struct RectF {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const RectF&) const = default;
};

// The rectangle the remote picture fills inside a view of `viewWidth` × `viewHeight`: aspect-fit, centred,
// letterboxed. A picture without a positive size fills the whole view.
RectF contentRect(double viewWidth, double viewHeight, double videoWidth, double videoHeight);

// A view position (top-left origin) as a position on the remote picture: (0, 0) its top-left corner,
// (1, 1) its bottom-right one; positions outside the picture clamp to its nearest edge.
struct NormalisedPoint {
  float x = 0, y = 0;
  bool operator==(const NormalisedPoint&) const = default;
};
NormalisedPoint normalise(double x, double y, const RectF& content);

// Pointer motion is sent at most once per 8 ms; what comes sooner is dropped, never queued.
class MotionThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds interval{8};

  // True when a motion at `now` is to be sent (and then counts as the last one sent).
  bool admit(Clock::time_point now) {
    if (sent_ && now - last_ <= interval) return false;
    sent_ = true;
    last_ = now;
    return true;
  }

 private:
  bool sent_ = false;  // the first motion always goes
  Clock::time_point last_{};
};

// Counts the clicks of a multiple click: a press soon enough after the previous one, close to it and with
// the same button, counts one more; anything else starts again at 1.
class ClickCounter {
 public:
  using Clock = std::chrono::steady_clock;
  ClickCounter(std::chrono::milliseconds interval, double distance) : interval_(interval), distance_(distance) {}

  int press(int button, double x, double y, Clock::time_point now);

 private:
  std::chrono::milliseconds interval_;
  double distance_;
  int count_ = 0;
  int button_ = -1;
  double x_ = 0, y_ = 0;
  Clock::time_point last_{};
};

// A click count as a button message carries it: 1...255.
std::uint8_t clampClicks(int clicks);

// Wheel deltas as a scroll message carries them. Notched wheels report eighths of a degree (120 per
// notch): a notch is one line and a line counts 12; touchpads and precise wheels report pixels, which
// count 1.
struct ScrollDelta {
  float dx = 0, dy = 0;
  bool operator==(const ScrollDelta&) const = default;
};
ScrollDelta scrollDelta(bool hasPixelDelta, double pixelX, double pixelY, double angleX, double angleY);

}  // namespace pellora::ui
