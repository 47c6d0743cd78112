#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/captured_frame.h"

namespace pellora {

// Turns captured 32-bit BGRA pixels (libyuv's "ARGB") into I420 frames of the output size, and changed
// rectangles of the source into the output rectangles they affect. Used on the capture thread only.
class FrameScaler {
 public:
  FrameScaler(int sourceWidth, int sourceHeight, int outputWidth, int outputHeight);

  std::shared_ptr<I420Frame> convert(const std::uint8_t* bgra, int stride);

  // Output rectangles covering every output pixel that the changed source pixels feed (the filter reaches
  // one pixel further), aligned to even coordinates for 4:2:0 and clipped to the output. Past `maxRects`
  // changes the list collapses to their bounding box, which costs encoders less than many tiny regions.
  std::vector<PixelRect> toOutput(const std::vector<PixelRect>& source, std::size_t maxRects = 64) const;

  int sourceWidth() const { return sourceWidth_; }
  int sourceHeight() const { return sourceHeight_; }
  PixelRect outputRect() const { return {0, 0, outputWidth_, outputHeight_}; }

 private:
  int sourceWidth_, sourceHeight_, outputWidth_, outputHeight_;
  std::shared_ptr<I420Frame> fullSize_;  // intermediate when scaling
};

}  // namespace pellora
