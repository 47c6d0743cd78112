#pragma once

// The output size of a capture: scaled down (never up) so that neither side exceeds the largest
// dimension, then rounded to even sides as 4:2:0 video needs.

namespace pellora {

struct PixelSize {
  int width = 0, height = 0;
  bool operator==(const PixelSize&) const = default;
};

// Each side becomes 2 × round(side × factor ÷ 2), halves away from zero, and at least 2.
// A `maxDimension` of 0 or below leaves the size unscaled.
PixelSize outputSize(int pixelWidth, int pixelHeight, int maxDimension);

}  // namespace pellora
