// Any sequence of peer messages through a video renderer: the input is a run of chunks, each a 2-byte
// big-endian length and that many bytes of one encoded message (chunks that do not decode are skipped;
// a short tail is ignored). No crash, no write outside a picture or the canvas, and every picture the sink
// gets is as large as it says and no larger than the limit. renderer_seeds writes real streams of the
// host's encoders as seeds.

#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

#include "core/message.h"
#include "core/wire_error.h"
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

  std::size_t at = 0;
  while (size - at >= 2) {
    const std::size_t length = std::size_t{data[at]} << 8 | data[at + 1];
    at += 2;
    if (length > size - at) break;
    try {
      renderer.handle(Message::decode(ByteView(data + at, length)));
    } catch (const WireError&) {
    }
    at += length;
  }
  renderer.waitUntilIdle();
  return 0;
}
