#pragma once

// Frames of a synthetic desktop for tests, demos and benchmarks: a still background with windows and
// text, a full-width band whose content scrolls sideways (its height sets how much changes per frame), and
// a frame stamp at the top left.

#include <cstdint>
#include <memory>
#include <vector>

#include "host/captured_frame.h"

namespace pellora {

// A plain value owned by one thread; each frame is a new picture, so consumers may keep earlier ones.
class SyntheticFrameSource {
 public:
  // `changeFraction` (0...1) is the share of the frame's height that scrolls; the stamp changes always.
  SyntheticFrameSource(int width, int height, double changeFraction);

  // The next frame, stamped with its number (from 0) and `captureMicros`. The first frame reports the
  // whole frame as changed, later ones the stamp and the band.
  CapturedFrame next(std::int64_t captureMicros);

  int width() const { return width_; }
  int height() const { return height_; }
  // Where the content moves; empty when `changeFraction` is 0.
  PixelRect band() const { return band_; }

 private:
  void drawBand(I420Frame& frame) const;

  int width_, height_;
  PixelRect band_;
  std::uint32_t counter_ = 0;
  std::shared_ptr<const I420Frame> previous_;
  // The band's content, one period wider than the frame, so that every shift is a plain copy.
  std::shared_ptr<I420Frame> strip_;
};

}  // namespace pellora
