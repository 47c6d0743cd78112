#pragma once

// Opus packets straight from the library, for packet lengths and channel counts our own encoder never makes.

#include <opus.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "support/tone.h"

namespace pellora::test {

// Consecutive packets of one tone (channel c at hz[c]), `frames` per channel each.
class RawOpusPackets {
 public:
  RawOpusPackets(std::vector<double> hz, int frames) : hz_(std::move(hz)), frames_(frames) {
    int status = 0;
    encoder_ = opus_encoder_create(48'000, static_cast<int>(hz_.size()), OPUS_APPLICATION_AUDIO, &status);
  }
  ~RawOpusPackets() { opus_encoder_destroy(encoder_); }
  RawOpusPackets(const RawOpusPackets&) = delete;
  RawOpusPackets& operator=(const RawOpusPackets&) = delete;

  Bytes next() {
    const auto pcm = tone(hz_, static_cast<std::size_t>(frames_), at_);
    at_ += static_cast<std::size_t>(frames_);
    Bytes out(4000);
    const int n = opus_encode_float(encoder_, pcm.data(), frames_, out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return out;
  }

 private:
  std::vector<double> hz_;
  int frames_;
  std::size_t at_ = 0;
  ::OpusEncoder* encoder_;
};

}  // namespace pellora::test
