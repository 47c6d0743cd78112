#pragma once

#include <cstdint>
#include <vector>

#include "host/captured_frame.h"

namespace pellora {

// The pointer's picture as the display server reports it, placed in the global screen space.
struct CursorImage {
  int x = 0, y = 0;  // top-left corner of the picture (pointer position minus hot spot)
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;  // premultiplied ARGB, row by row

  PixelRect bounds() const { return {x, y, width, height}; }
  // Blends the picture over a 32-bit BGRA frame whose top-left pixel lies at `frameOrigin` in the global
  // space. Returns the frame rectangle it touched (empty when the pointer lies outside the frame).
  PixelRect drawInto(std::uint8_t* bgra, int stride, PixelRect frame) const;
};

// The part of `a` inside `b` (empty when they do not meet).
PixelRect intersect(const PixelRect& a, const PixelRect& b);

}  // namespace pellora
