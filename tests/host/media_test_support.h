#pragma once

// Decoding what the host's encoders produce, as a viewer would, to check it against the source.

#include <memory>
#include <vector>

#include "core/message.h"
#include "base/av_handles.h"
#include "host/captured_frame.h"

namespace pellora::test {

// libavcodec's `h264` decoder configured from a `videoConfig` (an avcC record built from its fields),
// fed AVCC samples.
class H264TestDecoder {
 public:
  explicit H264TestDecoder(const Message::VideoConfig& config);
  // The pictures this sample completes (with zero-latency streams: exactly one).
  std::vector<std::shared_ptr<I420Frame>> decode(const Message::VideoFrame& frame);

 private:
  std::vector<std::shared_ptr<I420Frame>> drain();
  AVCodecContextPtr context_;
  AVFramePtr picture_{av_frame_alloc()};
  AVPacketPtr packet_{av_packet_alloc()};
};

// A JPEG decoded to its luma: width, height and one byte a pixel.
struct GrayImage {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
};
GrayImage decodeJpegGray(ByteView jpeg);

// Paints every region of an `imageRegions` message into a luma canvas of the message's size.
GrayImage composeRegions(const Message::ImageRegions& update, GrayImage canvas = {});

}  // namespace pellora::test
