// Any sequence of peer messages through a video renderer: the input is a run of chunks, each a 2-byte
// big-endian length and that many bytes of one encoded message (chunks that do not decode are skipped;
// a short tail is ignored). No crash, no write outside a picture or the canvas, and every picture the sink
// gets is as large as it says and no larger than the limit. renderer_seeds writes real streams of the
// host's encoders as seeds.

#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

#include "framed_messages.h"
#include "viewer/video_renderer.h"

namespace {

// Small enough that no canvas, picture or decoder buffer nears the fuzzer's allocation limit.
constexpr std::uint32_t maxSide = 256;

void check(const pellora::Picture& p) {
  if (p.width <= 0 || p.height <= 0 || p.width > static_cast<int>(maxSide) || p.height > static_cast<int>(maxSide) ||
      p.stride < p.width * 4 || p.bgra.size() != static_cast<std::size_t>(p.stride) * p.height)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);  // damaged streams are the point here
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellora;
  auto sink = std::make_shared<FrameSink>();
  sink->setOnPicture([&sink] { check(*sink->newest()); });
  VideoRenderer renderer(sink, maxSide, /*tryHardware=*/false);
  int requests = 0;
  renderer.requestKeyframe = [&requests] { ++requests; };
  renderer.onSize = [](VideoRenderer::Size s) {
    if (s.width <= 0 || s.height <= 0 || s.width > maxSide || s.height > maxSide) std::abort();
  };

  for (Message& message : fuzz::readFramed(data, size)) renderer.handle(std::move(message));
  renderer.waitUntilIdle();
  return 0;
}
