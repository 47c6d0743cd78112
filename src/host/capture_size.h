#pragma once

#include <algorithm>
#include <cmath>
#include <utility>

namespace pellora {

// The size a capture is delivered at: scaled down (never up) so that neither side exceeds `maxDimension`,
// each side rounded to an even number of pixels (halves away from zero), as 4:2:0 video needs.
inline std::pair<int, int> outputSize(int pixelWidth, int pixelHeight, int maxDimension) {
  const int larger = std::max(pixelWidth, pixelHeight);
  const double factor = larger > 0 ? std::min(1.0, static_cast<double>(maxDimension) / larger) : 1.0;
  auto even = [factor](int side) { return 2 * static_cast<int>(std::lround(side * factor / 2)); };
  return {even(pixelWidth), even(pixelHeight)};
}

}  // namespace pellora
