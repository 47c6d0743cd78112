#pragma once

// What a screen capturer hands to the host session and its encoders.

#include <cstdint>
#include <memory>
#include <vector>

namespace pellora {

// A pixel rectangle, origin at the top left of the frame.
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const PixelRect&) const = default;
  bool empty() const { return width <= 0 || height <= 0; }
};

// One picture in I420 (planar 4:2:0: full-size Y, quarter-size U and V), the layout both libx264 and
// TurboJPEG's YUV path take directly. Width and height are even.
struct I420Frame {
  int width = 0, height = 0;
  int strideY = 0, strideU = 0, strideV = 0;
  std::vector<std::uint8_t> y, u, v;

  static std::shared_ptr<I420Frame> allocate(int width, int height) {
    auto f = std::make_shared<I420Frame>();
    f->width = width;
    f->height = height;
    f->strideY = width;
    f->strideU = f->strideV = (width + 1) / 2;
    f->y.resize(static_cast<std::size_t>(f->strideY) * height);
    f->u.resize(static_cast<std::size_t>(f->strideU) * ((height + 1) / 2));
    f->v.resize(f->u.size());
    return f;
  }

  // Even, positive sides and planes large enough for their strides: what the encoders may read.
  bool isWellFormed() const {
    if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0) return false;
    const int cw = width / 2, ch = height / 2;
    auto fits = [](const std::vector<std::uint8_t>& plane, int stride, int w, int h) {
      return stride >= w && plane.size() >= static_cast<std::size_t>(stride) * (h - 1) + w;
    };
    return fits(y, strideY, width, height) && fits(u, strideU, cw, ch) && fits(v, strideV, cw, ch);
  }
};

// A complete captured frame: the picture, its capture time and the rectangles that changed since the
// previous frame (in output pixels). An empty `dirty` list means "treat the whole frame as changed".
struct CapturedFrame {
  std::shared_ptr<const I420Frame> image;
  std::int64_t ptsMicros = 0;  // monotonic clock
  std::vector<PixelRect> dirty;
};

}  // namespace pellora
