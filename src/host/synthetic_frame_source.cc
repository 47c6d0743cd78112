#include "host/synthetic_frame_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/frame_stamp.h"

namespace pellora {

namespace {

constexpr int scrollPeriod = 256;  // pixels after which the band's content repeats
constexpr int scrollStep = 8;      // pixels per frame; even, so chroma moves by whole samples

std::uint32_t mix(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  std::uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

struct Colour {
  std::uint8_t y, u, v;
};

void fill(I420Frame& f, PixelRect r, Colour c) {
  r.width = std::min(r.width, f.width - r.x);
  r.height = std::min(r.height, f.height - r.y);
  if (r.x < 0 || r.y < 0 || r.empty()) return;
  for (int y = r.y; y < r.y + r.height; ++y)
    std::memset(f.y.data() + static_cast<std::size_t>(y) * f.strideY + r.x, c.y, r.width);
  for (int y = r.y / 2; y < (r.y + r.height) / 2; ++y) {
    std::memset(f.u.data() + static_cast<std::size_t>(y) * f.strideU + r.x / 2, c.u, r.width / 2);
    std::memset(f.v.data() + static_cast<std::size_t>(y) * f.strideV + r.x / 2, c.v, r.width / 2);
  }
}

// Lines of words in a segment font (5 × 9-pixel glyphs built from up to seven strokes): sharp, regular
// detail like the text that screen content is mostly made of.
void drawGlyph(I420Frame& f, int x, int top, std::uint32_t segments, std::uint8_t ink) {
  auto dot = [&](int dx, int dy) { f.y[static_cast<std::size_t>(top + dy) * f.strideY + static_cast<std::size_t>(x + dx)] = ink; };
  for (int i = 0; i < 5; ++i) {
    if (segments & 1) dot(i, 0);
    if (segments & 2) dot(i, 4);
    if (segments & 4) dot(i, 8);
  }
  for (int i = 0; i < 9; ++i) {
    if ((segments & 8) && (i <= 4 || (segments & 16))) dot(0, i);
    if ((segments & 32) && (i >= 4 || (segments & 64))) dot(4, i);
  }
}

void drawText(I420Frame& f, PixelRect area, std::uint8_t ink, std::uint32_t seed) {
  const int right = area.x + area.width - 6, bottom = area.y + area.height;
  for (int top = area.y + 6; top + 10 <= bottom; top += 16) {
    int x = area.x + 6;
    while (x + 7 <= right) {
      const auto line = static_cast<std::uint32_t>(top);
      const int glyphs = 2 + static_cast<int>(mix(seed, line, static_cast<std::uint32_t>(x)) % 7);
      for (int g = 0; g < glyphs && x + 7 <= right; ++g, x += 7)
        drawGlyph(f, x, top, mix(seed + 1, line, static_cast<std::uint32_t>(x)) | 1, ink);
      x += 7;
    }
  }
}

int even(double v) { return 2 * static_cast<int>(std::lround(v / 2)); }

void drawDesktop(I420Frame& f) {
  // Wallpaper: a vertical gradient.
  for (int y = 0; y < f.height; ++y)
    std::memset(f.y.data() + static_cast<std::size_t>(y) * f.strideY, 70 + 60 * y / f.height, f.width);
  std::fill(f.u.begin(), f.u.end(), 150);
  std::fill(f.v.begin(), f.v.end(), 110);
  // Windows: a title bar and text on a light body, each its own tint.
  struct Window {
    double x, y, w, h;
    Colour body;
  };
  const Window windows[] = {{0.05, 0.22, 0.40, 0.34, {225, 128, 128}},
                            {0.50, 0.16, 0.45, 0.48, {235, 120, 132}},
                            {0.10, 0.60, 0.50, 0.36, {215, 136, 124}},
                            {0.66, 0.70, 0.30, 0.26, {200, 128, 140}}};
  std::uint32_t seed = 1;
  for (const Window& w : windows) {
    const PixelRect r{even(w.x * f.width), even(w.y * f.height), even(w.w * f.width), even(w.h * f.height)};
    fill(f, r, w.body);
    const int titleHeight = std::min(r.height, 24);
    fill(f, {r.x, r.y, r.width, titleHeight}, {90, 140, 120});
    drawText(f, {r.x, r.y + titleHeight, r.width, r.height - titleHeight}, 40, seed++);
  }
}

}  // namespace

SyntheticFrameSource::SyntheticFrameSource(int width, int height, double changeFraction)
    : width_(std::max(2, width & ~1)), height_(std::max(2, height & ~1)) {
  const PixelRect stamp = FrameStamp::area(width_, height_);
  const double share = std::isfinite(changeFraction) ? std::clamp(changeFraction, 0.0, 1.0) : 0.0;
  const int top = stamp.height;
  band_ = {0, top, width_, std::clamp(even(share * height_), 0, height_ - top)};

  strip_ = I420Frame::allocate(width_ + scrollPeriod, std::max(band_.height, 2));
  // Coloured blocks with text on them, repeating every period.
  for (int x = 0; x < strip_->width; x += 64) {
    const auto k = static_cast<std::uint32_t>((x % scrollPeriod) / 64);
    const Colour c{static_cast<std::uint8_t>(150 + 25 * k), static_cast<std::uint8_t>(90 + 30 * k),
                   static_cast<std::uint8_t>(170 - 25 * k)};
    fill(*strip_, {x, 0, 64, strip_->height}, c);
  }
  drawText(*strip_, {0, 0, scrollPeriod, strip_->height}, 30, 99);
  // Repeat the first period across the strip, so that the content wraps without a seam.
  for (int y = 0; y < strip_->height; ++y) {
    std::uint8_t* row = strip_->y.data() + static_cast<std::size_t>(y) * strip_->strideY;
    for (int x = scrollPeriod; x < strip_->width; ++x) row[x] = row[x - scrollPeriod];
  }
}

void SyntheticFrameSource::drawBand(I420Frame& f) const {
  if (band_.empty()) return;
  const int offset = static_cast<int>((counter_ * static_cast<std::uint32_t>(scrollStep)) % scrollPeriod);
  for (int y = 0; y < band_.height; ++y)
    std::memcpy(f.y.data() + static_cast<std::size_t>(band_.y + y) * f.strideY,
                strip_->y.data() + static_cast<std::size_t>(y) * strip_->strideY + offset, f.width);
  for (int y = 0; y < band_.height / 2; ++y) {
    const std::size_t to = static_cast<std::size_t>(band_.y / 2 + y), from = static_cast<std::size_t>(y);
    std::memcpy(f.u.data() + to * f.strideU, strip_->u.data() + from * strip_->strideU + offset / 2, f.width / 2);
    std::memcpy(f.v.data() + to * f.strideV, strip_->v.data() + from * strip_->strideV + offset / 2, f.width / 2);
  }
}

CapturedFrame SyntheticFrameSource::next(std::int64_t captureMicros) {
  std::shared_ptr<I420Frame> frame;
  CapturedFrame out;
  if (previous_) {
    frame = std::make_shared<I420Frame>(*previous_);
    const PixelRect stamp = FrameStamp::area(width_, height_);
    if (!stamp.empty()) out.dirty.push_back(stamp);
    if (!band_.empty()) out.dirty.push_back(band_);
  } else {
    frame = I420Frame::allocate(width_, height_);
    drawDesktop(*frame);
    out.dirty.push_back({0, 0, width_, height_});
  }
  drawBand(*frame);
  FrameStamp{counter_, captureMicros}.draw(*frame);
  ++counter_;
  out.ptsMicros = captureMicros;
  out.image = frame;
  previous_ = std::move(frame);
  return out;
}

}  // namespace pellora
