#pragma once

// H.264 for the host's video stream: I420 frames in, `videoConfig` and `videoFrame` messages out.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"
#include "host/captured_frame.h"

namespace pellora {

// One encoder per capture start. Real time, zero latency, no B-frames, High profile, average bit rate
// under a VBV (one second of the rate unless told otherwise), a keyframe at least every 10 seconds. The
// VBV is what keeps keyframes within the path: no frame, requested keyframes included, is larger than the
// buffer, and keyframes in quick succession share it instead of adding up. Output samples are AVCC
// (4-byte length prefixes, no parameter sets inside); every keyframe is preceded by a fresh `videoConfig`
// carrying the SPS and PPS, so a viewer can start at any keyframe.
//
// Lives on the session's video queue (`encode` from one thread at a time); `forceKeyframe` may be set
// from any thread. `onOutput` runs inside `encode`, configuration first.
class H264Encoder {
 public:
  // Hardware first, then software.
  static const std::vector<std::string>& defaultEncoders();

  // Opens the first of `encoders` (libavcodec names) that works for this size and rate. Throws
  // TransportError::connectFailed("H.264 kodlayıcı açılamadı (<status>)") with the last libavcodec status
  // when none does (AVERROR(EINVAL) for sizes that are not even and positive, or a rate of 0).
  H264Encoder(int width, int height, int bitrate, int fps,
              const std::vector<std::string>& encoders = defaultEncoders());
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  // Submits one well-formed frame of the encoder's size (others are dropped). Frames that fail to encode are dropped;
  // the next one continues.
  void encode(std::shared_ptr<const I420Frame> image, std::int64_t ptsMicros);

  // The average rate and the VBV (`bufferBits`, the largest frame) from the next frame on, without a
  // restart (libx264 reconfigures itself; other encoders keep the rate they opened with). `fps`: how many
  // frames a second will come from now on, when fewer than the encoder opened with (0: as many).
  void setBitrate(int bitrate, int bufferBits, int fps = 0);

  int width() const { return width_; }
  int height() const { return height_; }
  // The libavcodec encoder in use, e.g. "libx264".
  const std::string& encoderName() const;

  // The libx264 speed preset: "veryfast" up to 1920 × 1080 at 30 frames a second, "superfast" above it
  // (the fastest that still uses High-profile tools), so that two cores keep up in real time.
  static const char* softwarePreset(int width, int height, int fps);

  // The next submitted frame is encoded as a keyframe. Starts set: the first frame is a keyframe.
  std::atomic<bool> forceKeyframe{true};
  std::function<void(std::optional<Message> config, Message frame)> onOutput;

 private:
  struct Session;
  void emit(const std::uint8_t* data, int size, bool keyframe, std::int64_t pts);

  int width_, height_;
  std::unique_ptr<Session> session_;
};

}  // namespace pellora
