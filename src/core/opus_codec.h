#pragma once

// Opus encoding and decoding of the host's sound: 48 kHz, 20 ms packets, interleaved 32-bit float samples.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/bytes.h"
#include "core/opus_error.h"

// The library's handle types, kept out of this header.
struct OpusEncoder;
struct OpusDecoder;

namespace pellora {

struct Opus {
  static constexpr int sampleRate = 48'000;
  // Samples per channel in one 20 ms packet.
  static constexpr int frameSize = 960;
  // Largest packet the encoder writes.
  static constexpr int maxPacketBytes = 4000;
};

// Turns a stream of interleaved samples into 20 ms Opus packets. Not thread-safe: the host session calls it
// under its audio lock. Samples that do not fill a packet wait for the next call.
class OpusEncoder {
 public:
  // `channels` is 1 or 2; `bitrate` in bits per second. Throws OpusError.
  OpusEncoder(int channels, std::uint32_t bitrate);
  ~OpusEncoder();
  OpusEncoder(OpusEncoder&&) noexcept;
  OpusEncoder& operator=(OpusEncoder&&) noexcept;

  int channels() const { return channels_; }

  // Appends `samples` (interleaved, any count) and returns every complete packet, in order. A frame the
  // library fails to encode yields no packet; the ones after it are still returned.
  std::vector<Bytes> encode(std::span<const float> samples);

 private:
  struct Free {
    void operator()(::OpusEncoder* e) const;
  };

  int channels_;
  std::unique_ptr<::OpusEncoder, Free> converter_;
  std::vector<float> pending_;  // fewer than one frame between calls
};

// Turns one Opus packet back into interleaved samples. Not thread-safe: one player's queue owns it.
class OpusDecoder {
 public:
  // `channels` is 1 or 2. Throws OpusError.
  explicit OpusDecoder(int channels);
  ~OpusDecoder();
  OpusDecoder(OpusDecoder&&) noexcept;
  OpusDecoder& operator=(OpusDecoder&&) noexcept;

  int channels() const { return channels_; }

  // At most 960 samples per channel; an empty list for an empty, malformed or longer-than-20-ms packet.
  // Packets come from the network: any bytes are safe here.
  std::vector<float> decode(ByteView packet);

 private:
  struct Free {
    void operator()(::OpusDecoder* d) const;
  };

  int channels_;
  std::unique_ptr<::OpusDecoder, Free> converter_;
};

}  // namespace pellora
