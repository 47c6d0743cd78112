#pragma once

// JPEG regions for the host's video stream: the changed 64-pixel tiles of a frame, joined into
// horizontal runs, each compressed straight from the I420 planes.

#include <memory>
#include <optional>
#include <vector>

#include "core/message.h"
#include "host/captured_frame.h"

namespace pellora {

// Stateless between calls (whether the next update must be full is the session's decision). Lives on
// the session's video queue; one thread at a time.
class JPEGRegionEncoder {
 public:
  static constexpr int tileSize = 64;
  // Above this share of the frame, one full image is cheaper than its runs.
  static constexpr int fullPercent = 60;

  // `quality` 0...1, as the presets give it.
  explicit JPEGRegionEncoder(double quality);
  ~JPEGRegionEncoder();
  JPEGRegionEncoder(const JPEGRegionEncoder&) = delete;
  JPEGRegionEncoder& operator=(const JPEGRegionEncoder&) = delete;

  // An `imageRegions` message for the changed rectangles, or the whole frame when `full` is set or
  // `dirty` is empty; none when nothing changed inside the frame, when no region could be compressed, or
  // when the frame is not well formed.
  std::optional<Message> encode(const I420Frame& image, const std::vector<PixelRect>& dirty, bool full);

  // The runs of changed tiles on a 64-pixel grid, row by row from the top, left to right; runs never
  // span rows and end at the frame's edges.
  static std::vector<PixelRect> tileRuns(const std::vector<PixelRect>& rects, int width, int height);

  double quality() const { return quality_; }
  // From the next update on.
  void setQuality(double quality) { quality_ = quality; }

 private:
  std::optional<Bytes> compress(const I420Frame& image, const PixelRect& r);

  struct TurboJPEG;
  std::unique_ptr<TurboJPEG> tj_;
  double quality_;
};

}  // namespace pellora
