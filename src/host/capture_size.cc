#include "host/capture_size.h"

#include <algorithm>
#include <cmath>

namespace pellora {

PixelSize outputSize(int pixelWidth, int pixelHeight, int maxDimension) {
  const int larger = std::max(pixelWidth, pixelHeight);
  double factor = 1.0;
  if (maxDimension > 0 && larger > 0) factor = std::min(1.0, static_cast<double>(maxDimension) / larger);
  // A very thin display would otherwise round a side to 0, which no encoder accepts.
  auto side = [factor](int pixels) {
    return std::max(2, 2 * static_cast<int>(std::round(std::max(pixels, 0) * factor / 2)));
  };
  return {side(pixelWidth), side(pixelHeight)};
}

}  // namespace pellora
