#include "viewer/video_renderer.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

#include <algorithm>
#include <chrono>
#include <future>
#include <new>
#include <optional>

#include "base/monotonic_clock.h"
#include "base/turbojpeg_handles.h"
#include "viewer/h264_decoder.h"

namespace pellora {

namespace {

bool validSize(std::uint32_t width, std::uint32_t height, std::uint32_t maxSide) {
  return width > 0 && height > 0 && width <= maxSide && height <= maxSide;
}

// A blank canvas: opaque black, so that whatever shows it needs no alpha handling.
Picture blankCanvas(int width, int height) {
  Picture canvas;
  canvas.width = width;
  canvas.height = height;
  canvas.stride = width * 4;
  canvas.bgra.assign(static_cast<std::size_t>(canvas.stride) * height, 0);
  for (std::size_t alpha = 3; alpha < canvas.bgra.size(); alpha += 4) canvas.bgra[alpha] = 0xff;
  return canvas;
}

bool insideCanvas(const Picture& canvas, const ImageRegion& region) {
  return region.width > 0 && region.height > 0 && region.x + region.width <= canvas.width &&
         region.y + region.height <= canvas.height;
}

// Decodes one region straight into its place on the canvas. Nothing is written unless the rectangle
// lies wholly inside the canvas and the JPEG's own size is the rectangle's; a JPEG that fails half way
// may leave part of its rectangle drawn. False when nothing was written.
bool drawRegion(tjhandle decompressor, Picture& canvas, const ImageRegion& region) {
  const int x = region.x, y = region.y, w = region.width, h = region.height;
  if (!insideCanvas(canvas, region)) return false;
  const unsigned char* jpeg = region.jpeg.data();
  const auto jpegSize = static_cast<unsigned long>(region.jpeg.size());
  int jpegWidth = 0, jpegHeight = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(decompressor, jpeg, jpegSize, &jpegWidth, &jpegHeight, &subsampling, &colorspace) != 0)
    return false;
  if (jpegWidth != w || jpegHeight != h) return false;
  std::uint8_t* place = canvas.bgra.data() + static_cast<std::size_t>(y) * canvas.stride + static_cast<std::size_t>(x) * 4;
  tjDecompress2(decompressor, jpeg, jpegSize, place, w, canvas.stride, h, TJPF_BGRA, 0);
  return true;
}

// What a message holds for the queue's byte bound.
std::size_t queuedSize(const Message& message) {
  if (const auto* frame = message.as<Message::VideoFrame>()) return frame->data.size();
  std::size_t bytes = sizeof(Message);
  if (const auto* update = message.as<Message::ImageRegions>())
    for (const ImageRegion& region : update->regions) bytes += sizeof(ImageRegion) + region.jpeg.size();
  if (const auto* config = message.as<Message::VideoConfig>())
    for (const Bytes& set : config->parameterSets) bytes += set.size();
  return bytes;
}

struct Rect {
  int x, y, width, height;
};

// One buffer of the canvas and what it misses of the newest picture.
struct CanvasBuffer {
  std::shared_ptr<Picture> picture;
  std::vector<Rect> stale;  // drawn into a newer buffer since this one was current
  bool allStale = false;    // too many to list: copy everything
  static constexpr std::size_t maxStale = 64;
};

// The canvas in turns: the newest buffer is the picture last handed to the sink; drawing goes to one that
// nobody else holds any more, brought up to date first.
class Canvas {
 public:
  bool fits(int width, int height) const {
    return !buffers_.empty() && buffers_[0].picture->width == width && buffers_[0].picture->height == height;
  }
  void reset(int width, int height) {
    buffers_.clear();  // the old ones go before the new one is allocated
    buffers_.push_back({std::make_shared<Picture>(blankCanvas(width, height)), {}, false});
    newest_ = 0;
  }

  // The buffer to draw the next message into; it becomes the newest.
  Picture& drawable() {
    if (buffers_[newest_].picture.use_count() == 1) return *buffers_[newest_].picture;
    std::optional<std::size_t> free;
    for (std::size_t i = 0; i < buffers_.size() && !free; ++i)
      if (i != newest_ && buffers_[i].picture.use_count() == 1) free = i;
    if (free) {
      catchUp(buffers_[*free]);
    } else {
      // Every buffer is still held (a slow view): one whole copy, replacing a buffer the holder keeps alive.
      CanvasBuffer copy{std::make_shared<Picture>(*buffers_[newest_].picture), {}, false};
      if (buffers_.size() < VideoRenderer::canvasBuffers) {
        buffers_.push_back(std::move(copy));
        free = buffers_.size() - 1;
      } else {
        free = (newest_ + 1) % buffers_.size();
        buffers_[*free] = std::move(copy);
      }
    }
    newest_ = *free;
    return *buffers_[newest_].picture;
  }

  // `rect` was drawn into the newest buffer: the others miss it.
  void drawn(const Rect& rect) {
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
      CanvasBuffer& b = buffers_[i];
      if (i == newest_ || b.allStale) continue;
      b.stale.push_back(rect);
      if (b.stale.size() > CanvasBuffer::maxStale) {
        b.allStale = true;
        b.stale.clear();
      }
    }
  }

  std::shared_ptr<const Picture> newest() const { return buffers_[newest_].picture; }

 private:
  void catchUp(CanvasBuffer& b) {
    const Picture& from = *buffers_[newest_].picture;
    Picture& to = *b.picture;
    if (b.allStale) {
      std::copy(from.bgra.begin(), from.bgra.end(), to.bgra.begin());
    } else {
      for (const Rect& r : b.stale) {
        for (int row = r.y; row < r.y + r.height; ++row) {
          const std::size_t at = static_cast<std::size_t>(row) * from.stride + static_cast<std::size_t>(r.x) * 4;
          std::copy_n(from.bgra.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::size_t>(r.width) * 4,
                      to.bgra.begin() + static_cast<std::ptrdiff_t>(at));
        }
      }
    }
    b.stale.clear();
    b.allStale = false;
  }

  std::vector<CanvasBuffer> buffers_;  // all of one size
  std::size_t newest_ = 0;
};

}  // namespace

// Everything the queue's jobs touch; nothing else reads it.
struct VideoRenderer::State {
  std::uint32_t maxSide = maxDimension;
  bool tryHardware = true;
  bool hardwareProbed = false;
  AVBufferPtr hardwareDevice;  // a VAAPI device, when one answered

  std::unique_ptr<H264Decoder> decoder;  // the `videoConfig` that last succeeded
  bool waitingForKeyframe = true;

  Canvas canvas;  // JPEG regions are drawn here
  TjHandle decompressor;

  Size size;  // last reported

  AVBufferRef* hardware() {
    if (!tryHardware) return nullptr;
    if (!hardwareProbed) {
      hardwareProbed = true;
      AVBufferRef* device = nullptr;
      if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) == 0)
        hardwareDevice.reset(device);
    }
    return hardwareDevice.get();
  }
};

VideoRenderer::VideoRenderer(std::shared_ptr<FrameSink> sink, std::uint32_t maxSide, bool tryHardware)
    : sink_(std::move(sink)), state_(std::make_unique<State>()) {
  state_->maxSide = std::min(maxSide, maxDimension);
  state_->tryHardware = tryHardware;
}

VideoRenderer::~VideoRenderer() { queue_.stop(); }

void VideoRenderer::handle(Message message) {
  if (!message.is<Message::VideoConfig>() && !message.is<Message::VideoFrame>() &&
      !message.is<Message::ImageRegions>())
    return;
  const std::size_t bytes = queuedSize(message);
  bool overflow = false;
  std::uint64_t epoch = 0;
  {
    std::lock_guard guard(queuedLock_);
    if (queued_ + 1 > maxQueued || queuedBytes_ + bytes > maxQueuedBytes) {
      overflow = true;
      ++epoch_;
      queued_ = 0;
      queuedBytes_ = 0;
    } else {
      ++queued_;
      queuedBytes_ += bytes;
    }
    epoch = epoch_;
  }
  if (overflow) {
    // This message goes with the others: the keyframe asked for replaces them all.
    ++overflows_;
    queue_.post([this] { recover(); });
    return;
  }
  queue_.post([this, epoch, bytes, m = std::move(message)] {
    {
      std::lock_guard guard(queuedLock_);
      if (epoch != epoch_) return;  // dropped by an overflow
      --queued_;
      queuedBytes_ -= bytes;
    }
    try {
      if (const auto* config = m.as<Message::VideoConfig>()) {
        configure(*config);
      } else if (const auto* frame = m.as<Message::VideoFrame>()) {
        enqueue(*frame);
      } else if (const auto* update = m.as<Message::ImageRegions>()) {
        composite(*update);
      }
    } catch (const std::bad_alloc&) {
      // A picture the machine cannot hold: this message is dropped, the next one continues.
    }
  });
}

void VideoRenderer::waitUntilIdle() {
  if (queue_.isCurrentThread()) return;
  std::promise<void> idle;
  auto done = idle.get_future();
  queue_.post([&idle] { idle.set_value(); });
  done.wait();
}

void VideoRenderer::configure(const Message::VideoConfig& config) {
  State& s = *state_;
  if (!validSize(config.width, config.height, s.maxSide)) return;
  // A repeated configuration leaves the decoder and its references alone. The prefix size counts too:
  // frames framed another way would be misread by the old decoder.
  if (!s.decoder || s.decoder->parameterSets() != config.parameterSets ||
      s.decoder->nalLength() != config.nalLength) {
    // A configuration that does not open keeps the previous decoder in use.
    if (auto decoder = H264Decoder::open(config, s.maxSide, s.hardware())) s.decoder = std::move(decoder);
  }
  report({static_cast<double>(config.width), static_cast<double>(config.height)});
}

void VideoRenderer::enqueue(const Message::VideoFrame& frame) {
  State& s = *state_;
  if (!s.decoder) {
    if (requestKeyframe) requestKeyframe();
    return;
  }
  if (s.waitingForKeyframe && !frame.keyframe) return;
  s.waitingForKeyframe = false;

  std::shared_ptr<Picture> picture;
  switch (s.decoder->decode(frame.data, frame.keyframe, picture)) {
    case H264Decoder::Result::picture:
      picture->decodedMicros = monotonicMicros();
      mode_ = Mode::h264;
      sink_->put(std::move(picture));
      break;
    case H264Decoder::Result::none:
      break;
    case H264Decoder::Result::failed:
      recover();
      break;
  }
}

void VideoRenderer::recover() {
  State& s = *state_;
  if (s.decoder) s.decoder->flush();
  s.waitingForKeyframe = true;
  if (requestKeyframe) requestKeyframe();
}

void VideoRenderer::composite(const Message::ImageRegions& update) {
  State& s = *state_;
  if (!validSize(update.width, update.height, s.maxSide)) return;
  const int width = static_cast<int>(update.width), height = static_cast<int>(update.height);
  if (!s.canvas.fits(width, height)) {
    s.canvas.reset(width, height);
    if (!update.full && requestKeyframe) requestKeyframe();
  }
  Picture& canvas = s.canvas.drawable();
  if (!s.decompressor) s.decompressor.reset(tjInitDecompress());
  if (s.decompressor) {
    for (const ImageRegion& region : update.regions)
      if (drawRegion(s.decompressor.get(), canvas, region)) s.canvas.drawn({region.x, region.y, region.width, region.height});
  }

  report({static_cast<double>(width), static_cast<double>(height)});
  canvas.decodedMicros = monotonicMicros();
  mode_ = Mode::jpeg;
  sink_->put(s.canvas.newest());
}

void VideoRenderer::report(Size size) {
  if (size == state_->size) return;
  state_->size = size;
  if (onSize) onSize(size);
}

}  // namespace pellora
