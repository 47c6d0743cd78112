#pragma once

// A machine-readable stamp drawn into synthetic frames: the frame's number and capture time as large
// black and white blocks at the top left, sized to survive JPEG and H.264 at every preset. A viewer reads
// it back from the decoded picture to measure glass-to-glass latency.

#include <cstdint>
#include <optional>

#include "host/captured_frame.h"

namespace pellora {

struct FrameStamp {
  std::uint32_t counter = 0;
  std::int64_t captureMicros = 0;
  bool operator==(const FrameStamp&) const = default;

  // 128 bits (marker, counter, time, CRC) in 4 rows of 32 square cells of 16, 8 or 4 pixels: the largest
  // that fits the frame. Empty when not even the smallest fits.
  static PixelRect area(int width, int height);

  // Draws the stamp into the luma plane and makes its chroma neutral.
  void draw(I420Frame& frame) const;

  // Reads a stamp from a decoded picture of the size it was drawn at: one 8-bit channel with `pixelStep`
  // bytes between pixels (1 for a luma plane, 3 or 4 for a channel of packed RGB). None when the frame
  // carries no intact stamp.
  static std::optional<FrameStamp> read(const std::uint8_t* plane, int stride, int width, int height,
                                        int pixelStep = 1);
};

}  // namespace pellora
