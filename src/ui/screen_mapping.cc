#include "ui/screen_mapping.h"

#include <algorithm>
#include <cmath>

namespace pellora::ui {

RectF contentRect(double viewWidth, double viewHeight, double videoWidth, double videoHeight) {
  if (videoWidth <= 0 || videoHeight <= 0) return {0, 0, viewWidth, viewHeight};
  // The side that limits the scale fills the view exactly, so that no rounding leaves a sliver of bar.
  const double byWidth = viewWidth / videoWidth, byHeight = viewHeight / videoHeight;
  const double w = byWidth <= byHeight ? viewWidth : videoWidth * byHeight;
  const double h = byWidth <= byHeight ? videoHeight * byWidth : viewHeight;
  return {(viewWidth - w) * 0.5, (viewHeight - h) * 0.5, w, h};
}

namespace {
float unit(double value) {
  // NaN (an empty content rectangle) lands on 0 like every value below the picture.
  if (!(value > 0)) return 0;
  if (value > 1) return 1;
  return static_cast<float>(value);
}
}  // namespace

NormalisedPoint normalise(double x, double y, const RectF& content) {
  return {unit((x - content.x) / content.width), unit((y - content.y) / content.height)};
}

int ClickCounter::press(int button, double x, double y, Clock::time_point now) {
  const bool again = count_ > 0 && button == button_ && now - last_ <= interval_ &&
                     std::abs(x - x_) <= distance_ && std::abs(y - y_) <= distance_;
  count_ = again ? count_ + 1 : 1;
  button_ = button;
  x_ = x;
  y_ = y;
  last_ = now;
  return count_;
}

std::uint8_t clampClicks(int clicks) { return static_cast<std::uint8_t>(std::clamp(clicks, 1, 255)); }

ScrollDelta scrollDelta(bool hasPixelDelta, double pixelX, double pixelY, double angleX, double angleY) {
  if (hasPixelDelta) return {static_cast<float>(pixelX), static_cast<float>(pixelY)};
  constexpr double lineFactor = 12, eighthsPerNotch = 120;
  return {static_cast<float>(angleX / eighthsPerNotch * lineFactor),
          static_cast<float>(angleY / eighthsPerNotch * lineFactor)};
}

}  // namespace pellora::ui
