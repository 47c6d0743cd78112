// JPEG regions at 1920 × 1080 for each preset: a full frame and an update whose change list covers 10 %
// of the frame, each beside TurboJPEG alone compressing the same rectangles of the same planes. Times are
// compared as CPU time, which other work on a shared machine disturbs far less than wall time.

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

#include "base/turbojpeg_handles.h"
#include "core/quality.h"
#include "host/frame_stamp.h"
#include "host/jpeg_region_encoder.h"
#include "host/synthetic_frame_source.h"

namespace pellora {
namespace {

constexpr int width = 1920, height = 1080;

// The second frame of a source whose band and stamp together cover 10 % of the frame.
const CapturedFrame& update() {
  static const CapturedFrame frame = [] {
    const double stampShare = FrameStamp::area(width, height).width * 64.0 / (width * height);
    SyntheticFrameSource source(width, height, 0.10 - stampShare);
    source.next(0);
    return source.next(1);
  }();
  return frame;
}

// What the encoder compresses for `dirty`: the tile runs, or the whole frame.
std::vector<PixelRect> rectsFor(const std::vector<PixelRect>& dirty) {
  return dirty.empty() ? std::vector<PixelRect>{{0, 0, width, height}}
                       : JPEGRegionEncoder::tileRuns(dirty, width, height);
}

// TurboJPEG alone: the same planes, rectangles and quality, into one preallocated buffer.
std::size_t turboJpeg(void* tj, const I420Frame& f, const std::vector<PixelRect>& rects, int quality,
                      unsigned char* buffer, unsigned long capacity) {
  std::size_t total = 0;
  for (const PixelRect& r : rects) {
    const unsigned char* planes[3] = {f.y.data() + r.y * f.strideY + r.x, f.u.data() + r.y / 2 * f.strideU + r.x / 2,
                                      f.v.data() + r.y / 2 * f.strideV + r.x / 2};
    const int strides[3] = {f.strideY, f.strideU, f.strideV};
    unsigned long size = capacity;
    tjCompressFromYUVPlanes(tj, planes, r.width, strides, r.height, TJSAMP_420, &buffer, &size, quality,
                            TJFLAG_NOREALLOC);
    total += size;
  }
  return total;
}

std::string group(const std::string& kind, Quality q) { return kind + "_" + std::string(rawValue(q)); }

void regions(benchmark::State& state, Quality q, bool full) {
  const CapturedFrame& f = update();
  const std::vector<PixelRect> dirty = full ? std::vector<PixelRect>{} : f.dirty;
  JPEGRegionEncoder encoder(preset(q).jpegQuality);
  for (auto _ : state) benchmark::DoNotOptimize(encoder.encode(*f.image, dirty, full));
  const std::optional<Message> m = encoder.encode(*f.image, dirty, full);
  const std::size_t bytes = m ? m->encode().size() : 0;
  // Bytes beside those of TurboJPEG alone (computed once, outside the timing).
  TjHandle tj(tjInitCompress());
  TjBuffer buffer(tjAlloc(static_cast<int>(tjBufSize(width, height, TJSAMP_420))));
  const auto reference = turboJpeg(tj.get(), *f.image, rectsFor(dirty), static_cast<int>(std::lround(preset(q).jpegQuality * 100)),
                                   buffer.get(), tjBufSize(width, height, TJSAMP_420));
  const std::string name = group(full ? "jpeg_full" : "jpeg_dirty10", q);
  state.counters[name + "_bytes"] = static_cast<double>(bytes);
  state.counters[name + "_tj_bytes"] = static_cast<double>(reference);
  state.counters["changed_percent"] = 100.0 * [&] {
    std::int64_t area = 0;
    for (const PixelRect& r : rectsFor(dirty)) area += std::int64_t{r.width} * r.height;
    return static_cast<double>(area);
  }() / (width * height);
  state.SetLabel("ref=BM_TurboJpeg" + std::string(full ? "Full/" : "Dirty10/") + std::string(rawValue(q)) +
                 " metric=cpu; figure=" + name + "_bytes ref=" + name + "_tj_bytes unit=B better=lower");
}

void turboJpegAlone(benchmark::State& state, Quality q, bool full) {
  const CapturedFrame& f = update();
  const std::vector<PixelRect> rects = rectsFor(full ? std::vector<PixelRect>{} : f.dirty);
  const int quality = static_cast<int>(std::lround(preset(q).jpegQuality * 100));
  TjHandle tj(tjInitCompress());
  const unsigned long capacity = tjBufSize(width, height, TJSAMP_420);
  TjBuffer buffer(tjAlloc(static_cast<int>(capacity)));
  for (auto _ : state) benchmark::DoNotOptimize(turboJpeg(tj.get(), *f.image, rects, quality, buffer.get(), capacity));
}

void BM_JpegRegionsFull(benchmark::State& s, Quality q) { regions(s, q, true); }
void BM_TurboJpegFull(benchmark::State& s, Quality q) { turboJpegAlone(s, q, true); }
void BM_JpegRegionsDirty10(benchmark::State& s, Quality q) { regions(s, q, false); }
void BM_TurboJpegDirty10(benchmark::State& s, Quality q) { turboJpegAlone(s, q, false); }

#define PRESETS(fn)                                                         \
  BENCHMARK_CAPTURE(fn, low, Quality::low)->Unit(benchmark::kMillisecond);  \
  BENCHMARK_CAPTURE(fn, balanced, Quality::balanced)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(fn, high, Quality::high)->Unit(benchmark::kMillisecond)

PRESETS(BM_JpegRegionsFull);
PRESETS(BM_TurboJpegFull);
PRESETS(BM_JpegRegionsDirty10);
PRESETS(BM_TurboJpegDirty10);

}  // namespace
}  // namespace pellora
