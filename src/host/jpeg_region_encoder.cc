#include "host/jpeg_region_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "base/turbojpeg_handles.h"

namespace pellora {

namespace {

// Rounds towards negative infinity, as the grid needs for coordinates left of or above the frame.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

bool fitsU16(const PixelRect& r) {
  constexpr int max = std::numeric_limits<std::uint16_t>::max();
  return r.x <= max && r.y <= max && r.width <= max && r.height <= max;
}

}  // namespace

struct JPEGRegionEncoder::TurboJPEG {
  TjHandle handle{tjInitCompress()};
  TjBuffer buffer;
  unsigned long capacity = 0;
};

JPEGRegionEncoder::JPEGRegionEncoder(double quality)
    : tj_(std::make_unique<TurboJPEG>()), quality_(std::isfinite(quality) ? std::clamp(quality, 0.0, 1.0) : 0.0) {
  if (!tj_->handle) throw std::bad_alloc();
}

JPEGRegionEncoder::~JPEGRegionEncoder() = default;

std::vector<PixelRect> JPEGRegionEncoder::tileRuns(const std::vector<PixelRect>& rects, int width, int height) {
  std::vector<PixelRect> runs;
  if (width <= 0 || height <= 0) return runs;
  const std::int64_t columns = (std::int64_t{width} + tileSize - 1) / tileSize;
  const std::int64_t rows = (std::int64_t{height} + tileSize - 1) / tileSize;
  std::vector<bool> marked(static_cast<std::size_t>(columns * rows), false);

  for (const PixelRect& r : rects) {
    // Negative sizes extend to the left and upwards.
    const std::int64_t x0 = std::min<std::int64_t>(r.x, std::int64_t{r.x} + r.width);
    const std::int64_t x1 = std::max<std::int64_t>(r.x, std::int64_t{r.x} + r.width);
    const std::int64_t y0 = std::min<std::int64_t>(r.y, std::int64_t{r.y} + r.height);
    const std::int64_t y1 = std::max<std::int64_t>(r.y, std::int64_t{r.y} + r.height);
    const std::int64_t firstColumn = std::max<std::int64_t>(0, floorDiv(x0, tileSize));
    const std::int64_t lastColumn = std::min(columns - 1, floorDiv(x1 - 1, tileSize));
    const std::int64_t firstRow = std::max<std::int64_t>(0, floorDiv(y0, tileSize));
    const std::int64_t lastRow = std::min(rows - 1, floorDiv(y1 - 1, tileSize));
    for (std::int64_t row = firstRow; row <= lastRow; ++row)
      for (std::int64_t column = firstColumn; column <= lastColumn; ++column)
        marked[static_cast<std::size_t>(row * columns + column)] = true;
  }

  for (std::int64_t row = 0; row < rows; ++row) {
    const auto isMarked = [&](std::int64_t column) { return marked[static_cast<std::size_t>(row * columns + column)]; };
    for (std::int64_t a = 0; a < columns;) {
      if (!isMarked(a)) {
        ++a;
        continue;
      }
      std::int64_t b = a;
      while (b < columns && isMarked(b)) ++b;
      const std::int64_t x = a * tileSize, y = row * tileSize;
      runs.push_back({static_cast<int>(x), static_cast<int>(y),
                      static_cast<int>(std::min<std::int64_t>(b * tileSize, width) - x),
                      static_cast<int>(std::min<std::int64_t>(y + tileSize, height) - y)});
      a = b;
    }
  }
  return runs;
}

std::optional<Message> JPEGRegionEncoder::encode(const I420Frame& image, const std::vector<PixelRect>& dirty,
                                                 bool full) {
  if (!image.isWellFormed()) return std::nullopt;
  const int w = image.width, h = image.height;
  std::vector<PixelRect> rects;
  if (!full && !dirty.empty()) {
    rects = tileRuns(dirty, w, h);
    if (rects.empty()) return std::nullopt;
    std::int64_t area = 0;
    for (const PixelRect& r : rects) area += std::int64_t{r.width} * r.height;
    if (area * 100 > std::int64_t{fullPercent} * w * h) full = true;
  } else {
    full = true;
  }
  if (full) rects = {{0, 0, w, h}};

  Message::ImageRegions out{static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), full, {}};
  for (const PixelRect& r : rects) {
    // Regions carry 16-bit coordinates; one that does not fit would land in the wrong place.
    if (!fitsU16(r)) continue;
    if (std::optional<Bytes> jpeg = compress(image, r))
      out.regions.push_back({static_cast<std::uint16_t>(r.x), static_cast<std::uint16_t>(r.y),
                             static_cast<std::uint16_t>(r.width), static_cast<std::uint16_t>(r.height),
                             std::move(*jpeg)});
  }
  if (out.regions.empty()) return std::nullopt;
  return Message(std::move(out));
}

std::optional<Bytes> JPEGRegionEncoder::compress(const I420Frame& image, const PixelRect& r) {
  // Crop by pointing into the planes. Run origins are multiples of 64, so the chroma origin is exact.
  const int cx = r.x / 2, cy = r.y / 2;
  const unsigned char* planes[3] = {
      image.y.data() + static_cast<std::ptrdiff_t>(r.y) * image.strideY + r.x,
      image.u.data() + static_cast<std::ptrdiff_t>(cy) * image.strideU + cx,
      image.v.data() + static_cast<std::ptrdiff_t>(cy) * image.strideV + cx,
  };
  const int strides[3] = {image.strideY, image.strideU, image.strideV};
  const int q = std::clamp(static_cast<int>(std::lround(quality_ * 100)), 1, 100);

  // A buffer of the worst-case size, never reallocated by TurboJPEG: a failed compression then leaves
  // nothing to clean up.
  const unsigned long worstCase = tjBufSize(r.width, r.height, TJSAMP_420);
  if (worstCase > static_cast<unsigned long>(std::numeric_limits<int>::max())) return std::nullopt;
  if (worstCase > tj_->capacity) {
    tj_->buffer.reset(tjAlloc(static_cast<int>(worstCase)));
    tj_->capacity = tj_->buffer ? worstCase : 0;
    if (!tj_->buffer) return std::nullopt;
  }
  unsigned char* buffer = tj_->buffer.get();
  unsigned long size = tj_->capacity;
  if (tjCompressFromYUVPlanes(tj_->handle.get(), planes, r.width, strides, r.height, TJSAMP_420, &buffer, &size, q,
                              TJFLAG_NOREALLOC) != 0)
    return std::nullopt;
  return Bytes(buffer, buffer + size);
}

}  // namespace pellora
