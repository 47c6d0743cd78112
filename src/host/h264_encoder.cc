#include "host/h264_encoder.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
}

#include <libyuv/convert_from.h>

#include <algorithm>
#include <limits>
#include <mutex>

#include "base/av_handles.h"
#include "core/transport_error.h"
#include "host/h264_nal_units.h"

namespace pellora {

namespace {

constexpr int keyframeIntervalSeconds = 10;

// The VBV can only be resized later when the encoder opened with one.
void setRate(AVCodecContext& c, int bitrate, int bufferBits) {
  c.bit_rate = bitrate;
  c.rc_max_rate = bitrate;
  c.rc_buffer_size = bufferBits;
}
constexpr AVRational microseconds = {1, 1'000'000};

// Encoder options; what an encoder does not know stays in the dictionary and is ignored.
class Options {
 public:
  Options() = default;
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  ~Options() { av_dict_free(&dict_); }
  void set(const char* key, const char* value) { av_dict_set(&dict_, key, value, 0); }
  AVDictionary** get() { return &dict_; }

 private:
  AVDictionary* dict_ = nullptr;
};

void setEncoderOptions(Options& o, const std::string& name, int width, int height, int fps) {
  o.set("profile", "high");
  o.set("forced-idr", "1");
  if (name == "libx264") {
    o.set("preset", H264Encoder::softwarePreset(width, height, fps));
    o.set("tune", "zerolatency");
  } else if (name == "h264_nvenc") {
    o.set("tune", "ll");
    o.set("zerolatency", "1");
    o.set("delay", "0");
  } else if (name == "h264_vaapi") {
    o.set("async_depth", "1");
  } else if (name == "libopenh264") {
    o.set("rc_mode", "bitrate");
    o.set("allow_skip_frames", "0");
  }
}

// The wrapped planes stay alive as long as libavcodec holds the frame.
void releaseImage(void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<const I420Frame>*>(opaque); }

void silenceLibraryLog() {
  // Probing hardware encoders on a machine without them prints to stderr; Pellora keeps no log.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace

struct H264Encoder::Session {
  std::string name;
  AVCodecContextPtr context;
  AVBufferPtr device;  // hardware encoders that take frames in device memory
  AVPacketPtr packet{av_packet_alloc()};
  int nalLength = 0;  // 0: Annex B packets
  std::vector<Bytes> parameterSets;
  std::int64_t lastPts = std::numeric_limits<std::int64_t>::min();

  // libx264 tuned for zero latency takes the frame rate it opened with as constant: each frame gets the
  // rate's share of one nominal interval, whatever the time stamps say. When the session spaces pictures
  // out they would add up to a fraction of the target, so the rate it is given is scaled by the frames
  // that will not come. (Frames a loaded machine fails to capture are not made up for: bigger frames
  // would only make it slower.)
  int nominalFps = 30;

  void apply(int bitrate, int bufferBits, int fps) {
    const double scale = static_cast<double>(nominalFps) / std::clamp(fps, 1, nominalFps);
    setRate(*context, static_cast<int>(std::min(bitrate * scale, 1e9)), bufferBits);
  }

  // 0, or the libavcodec status of the failure.
  int open(const std::string& encoderName, int width, int height, int bitrate, int fps) {
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName.c_str());
    if (codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    AVCodecContextPtr c(avcodec_alloc_context3(codec));
    if (!c || !packet) return AVERROR(ENOMEM);
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = microseconds;
    c->framerate = {fps, 1};
    setRate(*c, bitrate, bitrate);
    nominalFps = fps;
    c->gop_size = fps * keyframeIntervalSeconds;
    c->max_b_frames = 0;
    c->profile = FF_PROFILE_H264_HIGH;
    c->thread_count = 0;  // as many as the encoder finds useful
    if (encoderName == "h264_vaapi")
      if (int err = attachVaapi(*c); err < 0) return err;
    Options options;
    setEncoderOptions(options, encoderName, width, height, fps);
    if (int err = avcodec_open2(c.get(), codec, options.get()); err < 0) return err;
    const H264Extradata extradata = parseExtradata({c->extradata, static_cast<std::size_t>(c->extradata_size)});
    nalLength = extradata.nalLength;
    parameterSets = extradata.parameterSets;
    name = encoderName;
    context = std::move(c);
    return 0;
  }

  int attachVaapi(AVCodecContext& c) {
    AVBufferRef* created = nullptr;
    if (int err = av_hwdevice_ctx_create(&created, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0); err < 0)
      return err;
    device.reset(created);
    AVBufferPtr frames(av_hwframe_ctx_alloc(device.get()));
    if (!frames) return AVERROR(ENOMEM);
    auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
    fc->format = AV_PIX_FMT_VAAPI;
    fc->sw_format = AV_PIX_FMT_NV12;
    fc->width = c.width;
    fc->height = c.height;
    fc->initial_pool_size = 16;
    if (int err = av_hwframe_ctx_init(frames.get()); err < 0) return err;
    c.hw_frames_ctx = av_buffer_ref(frames.get());
    if (c.hw_frames_ctx == nullptr) return AVERROR(ENOMEM);
    c.pix_fmt = AV_PIX_FMT_VAAPI;
    return 0;
  }

  // The I420 planes as a frame, without copying them.
  static AVFramePtr wrap(std::shared_ptr<const I420Frame> image) {
    AVFramePtr f(av_frame_alloc());
    if (!f) return nullptr;
    auto* keep = new std::shared_ptr<const I420Frame>(std::move(image));
    const I420Frame& img = **keep;
    f->buf[0] = av_buffer_create(const_cast<std::uint8_t*>(img.y.data()), img.y.size(), releaseImage, keep,
                                 AV_BUFFER_FLAG_READONLY);
    if (f->buf[0] == nullptr) {
      delete keep;
      return nullptr;
    }
    f->format = AV_PIX_FMT_YUV420P;
    f->width = img.width;
    f->height = img.height;
    const std::uint8_t* planes[3] = {img.y.data(), img.u.data(), img.v.data()};
    const int strides[3] = {img.strideY, img.strideU, img.strideV};
    for (int i = 0; i < 3; ++i) {
      f->data[i] = const_cast<std::uint8_t*>(planes[i]);
      f->linesize[i] = strides[i];
    }
    return f;
  }

  // For encoders that read device memory: NV12 in a surface of the encoder's pool.
  AVFramePtr upload(const I420Frame& img) {
    AVFramePtr nv12(av_frame_alloc()), surface(av_frame_alloc());
    if (!nv12 || !surface) return nullptr;
    nv12->format = AV_PIX_FMT_NV12;
    nv12->width = img.width;
    nv12->height = img.height;
    if (av_frame_get_buffer(nv12.get(), 0) < 0) return nullptr;
    libyuv::I420ToNV12(img.y.data(), img.strideY, img.u.data(), img.strideU, img.v.data(), img.strideV,
                       nv12->data[0], nv12->linesize[0], nv12->data[1], nv12->linesize[1], img.width, img.height);
    if (av_hwframe_get_buffer(context->hw_frames_ctx, surface.get(), 0) < 0) return nullptr;
    if (av_hwframe_transfer_data(surface.get(), nv12.get(), 0) < 0) return nullptr;
    return surface;
  }
};

const std::vector<std::string>& H264Encoder::defaultEncoders() {
  static const std::vector<std::string> names = {"h264_nvenc", "h264_vaapi", "libx264", "libopenh264"};
  return names;
}

const char* H264Encoder::softwarePreset(int width, int height, int fps) {
  const std::int64_t pixelRate = std::int64_t{width} * height * fps;
  return pixelRate > std::int64_t{1920} * 1080 * 30 ? "superfast" : "veryfast";
}

H264Encoder::H264Encoder(int width, int height, int bitrate, int fps, const std::vector<std::string>& encoders)
    : width_(width), height_(height) {
  silenceLibraryLog();
  int status = AVERROR_ENCODER_NOT_FOUND;
  // 4:2:0 needs even sides; refusing odd ones here also spares libx264 a failure path that leaks.
  if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0 || bitrate <= 0 || fps <= 0) {
    status = AVERROR(EINVAL);
  } else {
    for (const std::string& name : encoders) {
      auto candidate = std::make_unique<Session>();
      status = candidate->open(name, width, height, bitrate, fps);
      if (status == 0) {
        session_ = std::move(candidate);
        return;
      }
    }
  }
  throw TransportError::connectFailed("H.264 kodlayıcı açılamadı (" + std::to_string(status) + ")");
}

H264Encoder::~H264Encoder() = default;

const std::string& H264Encoder::encoderName() const { return session_->name; }

void H264Encoder::setBitrate(int bitrate, int bufferBits, int fps) {
  if (bitrate > 0 && bufferBits > 0) session_->apply(bitrate, bufferBits, fps > 0 ? fps : session_->nominalFps);
}

void H264Encoder::encode(std::shared_ptr<const I420Frame> image, std::int64_t ptsMicros) {
  if (!image || image->width != width_ || image->height != height_ || !image->isWellFormed()) return;
  AVFramePtr frame = session_->device ? session_->upload(*image) : Session::wrap(std::move(image));
  if (!frame) return;
  // Encoders want strictly increasing time stamps; capture clocks only promise non-decreasing ones.
  if (ptsMicros <= session_->lastPts) ptsMicros = session_->lastPts + 1;
  session_->lastPts = ptsMicros;
  frame->pts = ptsMicros;
  if (forceKeyframe.exchange(false)) frame->pict_type = AV_PICTURE_TYPE_I;

  AVCodecContext* c = session_->context.get();
  if (avcodec_send_frame(c, frame.get()) < 0) return;
  AVPacket* p = session_->packet.get();
  while (avcodec_receive_packet(c, p) == 0) {
    emit(p->data, p->size, (p->flags & AV_PKT_FLAG_KEY) != 0, p->pts);
    av_packet_unref(p);
  }
}

void H264Encoder::emit(const std::uint8_t* data, int size, bool keyframe, std::int64_t pts) {
  const ByteView sample(data, static_cast<std::size_t>(size));
  const std::vector<ByteView> units =
      session_->nalLength == 0 ? annexBUnits(sample) : lengthPrefixedUnits(sample, session_->nalLength);

  // Parameter sets travel in `videoConfig`; the sample keeps every other unit, 4-byte length-prefixed.
  Bytes out;
  out.reserve(sample.size() + 4 * units.size());
  std::vector<Bytes> inBand;
  for (ByteView unit : units) {
    const int type = unit[0] & 0x1f;
    if (type == nalTypeSPS || type == nalTypePPS) {
      inBand.emplace_back(unit.begin(), unit.end());
      continue;
    }
    const auto n = static_cast<std::uint32_t>(unit.size());
    const std::uint8_t prefix[4] = {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                                    static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    out.insert(out.end(), prefix, prefix + 4);
    out.insert(out.end(), unit.begin(), unit.end());
  }
  if (!inBand.empty()) session_->parameterSets = std::move(inBand);
  if (out.empty() || !onOutput) return;

  std::optional<Message> config;
  if (keyframe && !session_->parameterSets.empty())
    config = Message::VideoConfig{static_cast<std::uint8_t>(Codec::h264), static_cast<std::uint32_t>(width_),
                                  static_cast<std::uint32_t>(height_), 4, session_->parameterSets};
  const std::uint64_t micros = pts == AV_NOPTS_VALUE || pts < 0 ? 0 : static_cast<std::uint64_t>(pts);
  onOutput(std::move(config), Message::VideoFrame{keyframe, micros, std::move(out)});
}

}  // namespace pellora
