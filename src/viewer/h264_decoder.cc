#include "viewer/h264_decoder.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixfmt.h>
}

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cstring>

namespace pellora {

namespace {

constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
constexpr int nalTypeSPS = 7, nalTypePPS = 8;

int nalType(const Bytes& set) { return set.empty() ? 0 : set[0] & 0x1f; }

// The conversion matrix for what the stream says about its colours; BT.601 when it says nothing.
const libyuv::YuvConstants* matrixOf(const AVFrame& frame) {
  const bool full = frame.color_range == AVCOL_RANGE_JPEG || frame.format == AV_PIX_FMT_YUVJ420P;
  switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
      return full ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
    case AVCOL_SPC_BT2020_NCL:
      return full ? &libyuv::kYuvV2020Constants : &libyuv::kYuv2020Constants;
    default:
      return full ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
  }
}

}  // namespace

std::unique_ptr<H264Decoder> H264Decoder::open(const Message::VideoConfig& config, std::uint32_t maxSide,
                                               AVBufferRef* hardwareDevice) {
  if (config.codec != static_cast<std::uint8_t>(Codec::h264) || config.nalLength < 1 || config.nalLength > 4)
    return nullptr;
  const auto& sets = config.parameterSets;
  if (std::none_of(sets.begin(), sets.end(), [](const Bytes& s) { return nalType(s) == nalTypeSPS; }) ||
      std::none_of(sets.begin(), sets.end(), [](const Bytes& s) { return nalType(s) == nalTypePPS; }))
    return nullptr;

  const AVCodec* codec = avcodec_find_decoder_by_name("h264");
  if (!codec) return nullptr;
  std::unique_ptr<H264Decoder> decoder(new H264Decoder(config, maxSide));
  AVCodecContext* c = avcodec_alloc_context3(codec);
  decoder->context_.reset(c);
  if (!c || !decoder->packet_ || !decoder->frame_ || !decoder->transferred_) return nullptr;
  // No frame delay: frame threads would hold pictures back, slice threads do not.
  c->flags |= AV_CODEC_FLAG_LOW_DELAY;
  c->thread_type = FF_THREAD_SLICE;
  c->thread_count = 0;
  // The decoder refuses to allocate pictures larger than the largest we would show.
  c->max_pixels = static_cast<std::int64_t>(maxSide) * maxSide;
  if (hardwareDevice) c->hw_device_ctx = av_buffer_ref(hardwareDevice);
  if (avcodec_open2(c, codec, nullptr) < 0) return nullptr;
  return decoder;
}

H264Decoder::H264Decoder(const Message::VideoConfig& config, std::uint32_t maxSide)
    : parameterSets_(config.parameterSets), nalLength_(config.nalLength), maxSide_(maxSide) {}

H264Decoder::~H264Decoder() = default;

void H264Decoder::flush() { avcodec_flush_buffers(context_.get()); }

bool H264Decoder::rewrite(ByteView sample, bool keyframe) {
  annexB_.clear();
  auto appendUnit = [this](const std::uint8_t* unit, std::size_t size) {
    annexB_.insert(annexB_.end(), std::begin(startCode), std::end(startCode));
    annexB_.insert(annexB_.end(), unit, unit + size);
  };
  if (keyframe)
    for (const Bytes& set : parameterSets_)
      if (!set.empty()) appendUnit(set.data(), set.size());

  const auto n = static_cast<std::size_t>(nalLength_);
  std::size_t at = 0;
  while (at < sample.size()) {
    if (sample.size() - at < n) return false;
    std::size_t length = 0;
    for (std::size_t i = 0; i < n; ++i) length = length << 8 | sample[at + i];
    at += n;
    if (length > sample.size() - at) return false;
    if (length > 0) appendUnit(sample.data() + at, length);
    at += length;
  }
  return true;
}

H264Decoder::Result H264Decoder::decode(ByteView sample, bool keyframe, std::shared_ptr<Picture>& picture) {
  if (sample.empty()) return Result::none;
  if (!rewrite(sample, keyframe)) return Result::failed;
  const std::size_t size = annexB_.size();
  if (size > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return Result::failed;
  annexB_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);

  packet_->data = annexB_.data();
  packet_->size = static_cast<int>(size);
  packet_->flags = keyframe ? AV_PKT_FLAG_KEY : 0;
  const int sent = avcodec_send_packet(context_.get(), packet_.get());
  packet_->data = nullptr;
  packet_->size = 0;
  if (sent < 0 && sent != AVERROR(EAGAIN)) return Result::failed;

  Result result = Result::none;
  for (;;) {
    const int received = avcodec_receive_frame(context_.get(), frame_.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
    if (received < 0) return Result::failed;
    if (auto converted = convert(*frame_)) {
      picture = std::move(converted);
      result = Result::picture;
    }
    av_frame_unref(frame_.get());
  }
  return result;
}

std::shared_ptr<Picture> H264Decoder::convert(const AVFrame& decoded) {
  const AVFrame* frame = &decoded;
  if (decoded.format == AV_PIX_FMT_VAAPI) {
    av_frame_unref(transferred_.get());
    if (av_hwframe_transfer_data(transferred_.get(), &decoded, 0) < 0) return nullptr;
    frame = transferred_.get();
  }
  // What the decoder says about its own output is checked like everything else from the peer.
  const int w = frame->width, h = frame->height;
  if (w <= 0 || h <= 0 || static_cast<std::uint32_t>(w) > maxSide_ || static_cast<std::uint32_t>(h) > maxSide_)
    return nullptr;

  auto picture = std::make_shared<Picture>();
  picture->width = w;
  picture->height = h;
  picture->stride = w * 4;
  picture->bgra.resize(static_cast<std::size_t>(picture->stride) * h);
  // libyuv's ARGB is B, G, R, A in memory: the picture's BGRA.
  int rc = -1;
  switch (frame->format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      if (!frame->data[0] || !frame->data[1] || !frame->data[2]) return nullptr;
      rc = libyuv::I420ToARGBMatrix(frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1],
                                    frame->data[2], frame->linesize[2], picture->bgra.data(), picture->stride,
                                    matrixOf(*frame), w, h);
      break;
    case AV_PIX_FMT_NV12:
      if (!frame->data[0] || !frame->data[1]) return nullptr;
      rc = libyuv::NV12ToARGBMatrix(frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1],
                                    picture->bgra.data(), picture->stride, matrixOf(*frame), w, h);
      break;
    default:  // 4:2:2, 4:4:4 and deeper formats are not what a host sends
      break;
  }
  if (rc != 0) return nullptr;
  return picture;
}

}  // namespace pellora
