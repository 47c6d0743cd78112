#include "host/frame_stamp.h"

#include <array>
#include <cstring>

namespace pellora {

namespace {

constexpr int columns = 32, rows = 4;
constexpr int bytesCarried = columns * rows / 8;  // marker 2, counter 4, time 8, CRC 2
constexpr std::uint16_t marker = 0xC35A;
constexpr std::uint8_t black = 16, white = 235, neutralChroma = 128;

using Payload = std::array<std::uint8_t, bytesCarried>;

int cellSize(int width, int height) {
  for (int cell : {16, 8, 4})
    if (columns * cell <= width && rows * cell <= height) return cell;
  return 0;
}

// CRC-16/CCITT-FALSE.
std::uint16_t crc16(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

void putBig(Payload& p, std::size_t at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[at + i] = static_cast<std::uint8_t>(v >> (8 * (bytes - 1 - i)));
}

std::uint64_t getBig(const Payload& p, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[at + i];
  return v;
}

}  // namespace

PixelRect FrameStamp::area(int width, int height) {
  const int cell = cellSize(width, height);
  return {0, 0, columns * cell, rows * cell};
}

void FrameStamp::draw(I420Frame& frame) const {
  const int cell = cellSize(frame.width, frame.height);
  if (cell == 0 || !frame.isWellFormed()) return;
  Payload p{};
  putBig(p, 0, marker, 2);
  putBig(p, 2, counter, 4);
  putBig(p, 6, static_cast<std::uint64_t>(captureMicros), 8);
  putBig(p, 14, crc16(p.data(), 14), 2);

  for (int bit = 0; bit < columns * rows; ++bit) {
    const bool one = (p[bit / 8] >> (7 - bit % 8)) & 1;
    const int x0 = (bit % columns) * cell, y0 = (bit / columns) * cell;
    for (int y = y0; y < y0 + cell; ++y)
      std::memset(frame.y.data() + static_cast<std::size_t>(y) * frame.strideY + x0, one ? white : black, cell);
  }
  const PixelRect a = area(frame.width, frame.height);
  for (int y = 0; y < a.height / 2; ++y) {
    std::memset(frame.u.data() + static_cast<std::size_t>(y) * frame.strideU, neutralChroma, a.width / 2);
    std::memset(frame.v.data() + static_cast<std::size_t>(y) * frame.strideV, neutralChroma, a.width / 2);
  }
}

std::optional<FrameStamp> FrameStamp::read(const std::uint8_t* plane, int stride, int width, int height,
                                           int pixelStep) {
  const int cell = cellSize(width, height);
  if (plane == nullptr || cell == 0 || pixelStep < 1 || stride < columns * cell * pixelStep) return std::nullopt;
  // The middle half of each cell: edges blur under compression, the centre keeps its level.
  const int inset = cell / 4, span = cell / 2;
  Payload p{};
  for (int bit = 0; bit < columns * rows; ++bit) {
    const int x0 = (bit % columns) * cell + inset, y0 = (bit / columns) * cell + inset;
    int sum = 0;
    for (int y = y0; y < y0 + span; ++y)
      for (int x = x0; x < x0 + span; ++x) sum += plane[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * pixelStep];
    if (sum > 128 * span * span) p[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
  }
  if (getBig(p, 0, 2) != marker || getBig(p, 14, 2) != crc16(p.data(), 14)) return std::nullopt;
  return FrameStamp{static_cast<std::uint32_t>(getBig(p, 2, 4)), static_cast<std::int64_t>(getBig(p, 6, 8))};
}

}  // namespace pellora
