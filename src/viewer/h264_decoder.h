#pragma once

// The viewer's H.264 decoder: the host's AVCC access units in, BGRA pictures out.

#include <cstdint>
#include <memory>
#include <vector>

#include "base/av_handles.h"
#include "core/bytes.h"
#include "core/message.h"
#include "viewer/frame_sink.h"

namespace pellora {

// One libavcodec "h264" decoder for one list of parameter sets; a new list gets a new decoder. Access
// units arrive length-prefixed (`nalLength` bytes, big-endian) and are rewritten with start codes; the
// parameter sets travel in-band in front of every keyframe, so that a flushed decoder can restart there.
// Set up for no frame delay: each access unit yields its picture at once.
//
// Used by the video renderer on its queue only; owned by it.
class H264Decoder {
 public:
  enum class Result {
    picture,    // `picture` holds the new picture
    none,       // nothing to show (an empty sample, a picture of a size or format that is not shown)
    failed,     // the sample is malformed or the decoder failed: flush and wait for a keyframe
  };

  // Null when the configuration cannot be decoded: not H.264, a length-prefix size outside 1...4, no
  // sequence or picture parameter set, or no decoder opens. `hardwareDevice` (optional) is a VAAPI
  // device to decode on; libavcodec falls back to software when it turns the device down. Pictures with a
  // side above `maxSide` are neither allocated by the decoder nor shown.
  static std::unique_ptr<H264Decoder> open(const Message::VideoConfig& config, std::uint32_t maxSide,
                                           AVBufferRef* hardwareDevice);
  ~H264Decoder();
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  Result decode(ByteView sample, bool keyframe, std::shared_ptr<Picture>& picture);
  // Drops the decoder's references and pending pictures, after a failure.
  void flush();

  const std::vector<Bytes>& parameterSets() const { return parameterSets_; }
  int nalLength() const { return nalLength_; }

 private:
  H264Decoder(const Message::VideoConfig& config, std::uint32_t maxSide);
  // The sample in start-code form in `annexB_` (plus libavcodec's zero padding); false when a length
  // prefix runs past the end of the sample.
  bool rewrite(ByteView sample, bool keyframe);
  std::shared_ptr<Picture> convert(const AVFrame& frame);

  std::vector<Bytes> parameterSets_;
  int nalLength_;
  std::uint32_t maxSide_;
  AVCodecContextPtr context_;
  AVPacketPtr packet_{av_packet_alloc()};
  AVFramePtr frame_{av_frame_alloc()};
  AVFramePtr transferred_{av_frame_alloc()};  // a hardware frame copied to memory
  Bytes annexB_;                             // reused from sample to sample
};

}  // namespace pellora
