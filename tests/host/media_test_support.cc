#include "media_test_support.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/turbojpeg_handles.h"

namespace pellora::test {

H264TestDecoder::H264TestDecoder(const Message::VideoConfig& config) {
  std::vector<Bytes> sps, pps;
  for (const Bytes& set : config.parameterSets) ((set.at(0) & 0x1f) == 7 ? sps : pps).push_back(set);
  if (sps.empty() || pps.empty() || sps[0].size() < 4) throw std::runtime_error("config without SPS and PPS");
  Bytes avcc = {1, sps[0][1], sps[0][2], sps[0][3], static_cast<std::uint8_t>(0xFC | (config.nalLength - 1)),
                static_cast<std::uint8_t>(0xE0 | sps.size())};
  auto append = [&avcc](const Bytes& set) {
    avcc.push_back(static_cast<std::uint8_t>(set.size() >> 8));
    avcc.push_back(static_cast<std::uint8_t>(set.size()));
    avcc.insert(avcc.end(), set.begin(), set.end());
  };
  for (const Bytes& s : sps) append(s);
  avcc.push_back(static_cast<std::uint8_t>(pps.size()));
  for (const Bytes& p : pps) append(p);

  const AVCodec* codec = avcodec_find_decoder_by_name("h264");
  context_.reset(avcodec_alloc_context3(codec));
  context_->extradata = static_cast<std::uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::memcpy(context_->extradata, avcc.data(), avcc.size());
  context_->extradata_size = static_cast<int>(avcc.size());
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context_->thread_count = 1;
  if (avcodec_open2(context_.get(), codec, nullptr) < 0) throw std::runtime_error("h264 decoder");
}

std::vector<std::shared_ptr<I420Frame>> H264TestDecoder::decode(const Message::VideoFrame& frame) {
  Bytes padded = frame.data;
  padded.resize(padded.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  packet_->data = padded.data();
  packet_->size = static_cast<int>(frame.data.size());
  packet_->pts = static_cast<std::int64_t>(frame.ptsMicros);
  packet_->flags = frame.keyframe ? AV_PKT_FLAG_KEY : 0;
  const int rc = avcodec_send_packet(context_.get(), packet_.get());
  packet_->data = nullptr;
  packet_->size = 0;
  if (rc < 0) return {};
  return drain();
}

std::vector<std::shared_ptr<I420Frame>> H264TestDecoder::drain() {
  std::vector<std::shared_ptr<I420Frame>> out;
  while (avcodec_receive_frame(context_.get(), picture_.get()) == 0) {
    auto f = I420Frame::allocate(picture_->width, picture_->height);
    for (int y = 0; y < f->height; ++y)
      std::memcpy(f->y.data() + y * f->strideY, picture_->data[0] + y * picture_->linesize[0], f->width);
    for (int y = 0; y < f->height / 2; ++y) {
      std::memcpy(f->u.data() + y * f->strideU, picture_->data[1] + y * picture_->linesize[1], f->width / 2);
      std::memcpy(f->v.data() + y * f->strideV, picture_->data[2] + y * picture_->linesize[2], f->width / 2);
    }
    out.push_back(std::move(f));
    av_frame_unref(picture_.get());
  }
  return out;
}

GrayImage decodeJpegGray(ByteView jpeg) {
  TjHandle tj(tjInitDecompress());
  GrayImage out;
  int subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.get(), jpeg.data(), jpeg.size(), &out.width, &out.height, &subsamp, &colorspace) != 0)
    throw std::runtime_error("not a JPEG");
  out.pixels.resize(static_cast<std::size_t>(out.width) * out.height);
  if (tjDecompress2(tj.get(), jpeg.data(), jpeg.size(), out.pixels.data(), out.width, 0, out.height, TJPF_GRAY, 0) != 0)
    throw std::runtime_error("JPEG decoding failed");
  return out;
}

GrayImage composeRegions(const Message::ImageRegions& update, GrayImage canvas) {
  const int w = static_cast<int>(update.width), h = static_cast<int>(update.height);
  if (canvas.width != w || canvas.height != h) canvas = {w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h)};
  for (const ImageRegion& r : update.regions) {
    const GrayImage part = decodeJpegGray(r.jpeg);
    if (part.width != r.width || part.height != r.height || r.x + r.width > w || r.y + r.height > h)
      throw std::runtime_error("region does not match its image");
    for (int y = 0; y < part.height; ++y)
      std::memcpy(canvas.pixels.data() + static_cast<std::size_t>(r.y + y) * w + r.x,
                  part.pixels.data() + static_cast<std::size_t>(y) * part.width, part.width);
  }
  return canvas;
}

}  // namespace pellora::test
