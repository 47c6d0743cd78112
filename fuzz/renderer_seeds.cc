// Writes seeds for renderer_fuzz into the folder given: what the host's own encoders send, framed as the
// target reads it (a 2-byte big-endian length before each encoded message). An H.264 stream (configuration,
// keyframe, delta frames), JPEG region updates, and both in turn.

#include <cstdio>
#include <string>
#include <vector>

#include "framed_messages.h"
#include "host/h264_encoder.h"
#include "host/jpeg_region_encoder.h"
#include "host/synthetic_frame_source.h"

namespace {

using namespace pellora;

std::vector<Message> h264Stream() {
  constexpr int width = 64, height = 48;
  SyntheticFrameSource source(width, height, 0.5);
  H264Encoder encoder(width, height, 500'000, 30);
  std::vector<Message> out;
  encoder.onOutput = [&out](std::optional<Message> config, Message frame) {
    if (config) out.push_back(std::move(*config));
    out.push_back(std::move(frame));
  };
  for (int i = 0; i < 3; ++i) {
    const CapturedFrame f = source.next(i * 33'333);
    encoder.encode(f.image, f.ptsMicros);
  }
  return out;
}

std::vector<Message> jpegUpdates() {
  SyntheticFrameSource source(128, 64, 0.5);
  JPEGRegionEncoder encoder(0.45);
  std::vector<Message> out;
  if (auto full = encoder.encode(*source.next(0).image, {}, true)) out.push_back(std::move(*full));
  const CapturedFrame next = source.next(66'666);
  if (auto partial = encoder.encode(*next.image, next.dirty, false)) out.push_back(std::move(*partial));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::vector<Message> h264 = h264Stream(), jpeg = jpegUpdates();
  std::vector<Message> both = jpeg;
  both.insert(both.end(), h264.begin(), h264.end());
  const bool ok = fuzz::writeFramed(folder + "/seed-h264", h264) && fuzz::writeFramed(folder + "/seed-jpeg", jpeg) &&
                  fuzz::writeFramed(folder + "/seed-jpeg-then-h264", both);
  if (!ok) std::fprintf(stderr, "%s: could not write the seeds\n", argv[0]);
  return ok ? 0 : 1;
}
