#include "host/frame_scaler.h"

#include <libyuv/convert.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cmath>

#include "host/cursor_image.h"

namespace pellora {

FrameScaler::FrameScaler(int sourceWidth, int sourceHeight, int outputWidth, int outputHeight)
    : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight), outputWidth_(outputWidth), outputHeight_(outputHeight) {}

std::shared_ptr<I420Frame> FrameScaler::convert(const std::uint8_t* bgra, int stride) {
  auto out = I420Frame::allocate(outputWidth_, outputHeight_);
  const bool scaling = sourceWidth_ != outputWidth_ || sourceHeight_ != outputHeight_;
  if (scaling && !fullSize_) fullSize_ = I420Frame::allocate(sourceWidth_, sourceHeight_);
  I420Frame& target = scaling ? *fullSize_ : *out;
  libyuv::ARGBToI420(bgra, stride, target.y.data(), target.strideY, target.u.data(), target.strideU, target.v.data(),
                     target.strideV, sourceWidth_, sourceHeight_);
  if (scaling) {
    // Converting first and scaling the planes moves 1.5 bytes a pixel instead of 4.
    libyuv::I420Scale(target.y.data(), target.strideY, target.u.data(), target.strideU, target.v.data(), target.strideV,
                      sourceWidth_, sourceHeight_, out->y.data(), out->strideY, out->u.data(), out->strideU,
                      out->v.data(), out->strideV, outputWidth_, outputHeight_, libyuv::kFilterBox);
  }
  return out;
}

std::vector<PixelRect> FrameScaler::toOutput(const std::vector<PixelRect>& source, std::size_t maxRects) const {
  const double sx = static_cast<double>(outputWidth_) / std::max(sourceWidth_, 1);
  const double sy = static_cast<double>(outputHeight_) / std::max(sourceHeight_, 1);
  const bool scaling = sourceWidth_ != outputWidth_ || sourceHeight_ != outputHeight_;
  const int reach = scaling ? 1 : 0;
  auto evenDown = [](int v) { return v - (v & 1); };
  auto evenUp = [](int v) { return v + (v & 1); };

  std::vector<PixelRect> out;
  for (const PixelRect& r : source) {
    if (r.empty()) continue;
    const int left = evenDown(static_cast<int>(std::floor(r.x * sx)) - reach);
    const int top = evenDown(static_cast<int>(std::floor(r.y * sy)) - reach);
    const int right = evenUp(static_cast<int>(std::ceil((r.x + r.width) * sx)) + reach);
    const int bottom = evenUp(static_cast<int>(std::ceil((r.y + r.height) * sy)) + reach);
    const PixelRect mapped = intersect({left, top, right - left, bottom - top}, outputRect());
    if (!mapped.empty()) out.push_back(mapped);
  }
  if (out.size() > maxRects) {
    PixelRect box = out.front();
    for (const PixelRect& r : out) {
      const int right = std::max(box.x + box.width, r.x + r.width);
      const int bottom = std::max(box.y + box.height, r.y + r.height);
      box.x = std::min(box.x, r.x);
      box.y = std::min(box.y, r.y);
      box.width = right - box.x;
      box.height = bottom - box.y;
    }
    out.assign(1, box);
  }
  return out;
}

}  // namespace pellora
