#include "viewer/video_renderer.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

#include <algorithm>
#include <chrono>
#include <future>
#include <new>
#include <optional>

#include "base/turbojpeg_handles.h"
#include "viewer/h264_decoder.h"

namespace pellora {

namespace {

// The monotonic clock in microseconds, the one synthetic frames carry their capture time in, so that a
// picture's `decodedMicros` and its stamp give the latency.
std::int64_t steadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

// Decodes one region straight into its place on the canvas. Nothing is written unless the rectangle
// lies wholly inside the canvas and the JPEG's own size is the rectangle's; a JPEG that fails half way
// may leave part of its rectangle drawn.
bool drawRegion(tjhandle decompressor, Picture& canvas, const ImageRegion& region) {
  const int x = region.x, y = region.y, w = region.width, h = region.height;
  if (w == 0 || h == 0 || x + w > canvas.width || y + h > canvas.height) return false;
  const unsigned char* jpeg = region.jpeg.data();
  const auto jpegSize = static_cast<unsigned long>(region.jpeg.size());
  int jpegWidth = 0, jpegHeight = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(decompressor, jpeg, jpegSize, &jpegWidth, &jpegHeight, &subsampling, &colorspace) != 0)
    return false;
  if (jpegWidth != w || jpegHeight != h) return false;
  std::uint8_t* place = canvas.bgra.data() + static_cast<std::size_t>(y) * canvas.stride + static_cast<std::size_t>(x) * 4;
  if (tjDecompress2(decompressor, jpeg, jpegSize, place, w, canvas.stride, h, TJPF_BGRA, 0) != 0)
    return tjGetErrorCode(decompressor) == TJERR_WARNING;  // drawn, with a recoverable flaw
  return true;
}

}  // namespace

// Everything the queue's jobs touch; nothing else reads it.
struct VideoRenderer::State {
  std::uint32_t maxSide = maxDimension;
  bool tryHardware = true;
  bool hardwareProbed = false;
  AVBufferPtr hardwareDevice;  // a VAAPI device, when one answered

  std::unique_ptr<H264Decoder> decoder;  // the `videoConfig` that last succeeded
  bool waitingForKeyframe = true;

  std::optional<Picture> canvas;  // JPEG regions are drawn here; copies go to the sink
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
  queue_.post([this, m = std::move(message)] {
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
      picture->decodedMicros = steadyMicros();
      mode_ = Mode::h264;
      sink_->put(std::move(picture));
      break;
    case H264Decoder::Result::none:
      break;
    case H264Decoder::Result::failed:
      s.decoder->flush();
      s.waitingForKeyframe = true;
      if (requestKeyframe) requestKeyframe();
      break;
  }
}

void VideoRenderer::composite(const Message::ImageRegions& update) {
  State& s = *state_;
  if (!validSize(update.width, update.height, s.maxSide)) return;
  const int width = static_cast<int>(update.width), height = static_cast<int>(update.height);
  if (!s.canvas || s.canvas->width != width || s.canvas->height != height) {
    s.canvas.reset();  // the old one goes before the new one is allocated
    s.canvas = blankCanvas(width, height);
    if (!update.full && requestKeyframe) requestKeyframe();
  }
  if (!s.decompressor) s.decompressor.reset(tjInitDecompress());
  if (s.decompressor)
    for (const ImageRegion& region : update.regions) drawRegion(s.decompressor.get(), *s.canvas, region);

  report({static_cast<double>(width), static_cast<double>(height)});
  auto picture = std::make_shared<Picture>(*s.canvas);
  picture->decodedMicros = steadyMicros();
  mode_ = Mode::jpeg;
  sink_->put(std::move(picture));
}

void VideoRenderer::report(Size size) {
  if (size == state_->size) return;
  state_->size = size;
  if (onSize) onSize(size);
}

}  // namespace pellora
