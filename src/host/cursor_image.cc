#include "host/cursor_image.h"

#include <algorithm>

namespace pellora {

PixelRect intersect(const PixelRect& a, const PixelRect& b) {
  const int left = std::max(a.x, b.x), top = std::max(a.y, b.y);
  const int right = std::min(a.x + a.width, b.x + b.width), bottom = std::min(a.y + a.height, b.y + b.height);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

PixelRect CursorImage::drawInto(std::uint8_t* bgra, int stride, PixelRect frame) const {
  if (pixels.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(std::max(height, 0))) return {};
  const PixelRect area = intersect(bounds(), frame);
  if (area.empty()) return {};
  for (int row = area.y; row < area.y + area.height; ++row) {
    const std::uint32_t* src = &pixels[static_cast<std::size_t>(row - y) * width + (area.x - x)];
    std::uint8_t* dst = bgra + static_cast<std::ptrdiff_t>(row - frame.y) * stride + (area.x - frame.x) * 4;
    for (int col = 0; col < area.width; ++col, ++src, dst += 4) {
      const std::uint32_t p = *src;
      const std::uint32_t alpha = p >> 24;
      if (alpha == 0) continue;
      const std::uint32_t keep = 255 - alpha;
      // premultiplied: out = src + dst * (1 - alpha), clamped in case a channel exceeds its alpha
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t value = ((p >> (8 * c)) & 0xFF) + (dst[c] * keep + 127) / 255;
        dst[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
      }
    }
  }
  return {area.x - frame.x, area.y - frame.y, area.width, area.height};
}

}  // namespace pellora
