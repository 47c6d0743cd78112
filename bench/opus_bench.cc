// Cost of one 20 ms stereo packet through our Opus encoder and decoder, each beside the library called
// directly on the same samples and packets, so that the ratio is the wrapper's overhead.

#include <benchmark/benchmark.h>
#include <opus.h>

#include <cmath>
#include <numbers>

#include "core/opus_codec.h"

namespace pellora {
namespace {

constexpr int kChannels = 2;
constexpr int kBitrate = 96'000;
constexpr int kPackets = 50;  // one second, cycled

// A second of music-like stereo: two tones, a slow sweep and a little noise, so that the encoder works
// as hard as on real desktop sound.
const std::vector<float>& second() {
  static const std::vector<float> samples = [] {
    std::vector<float> s(static_cast<std::size_t>(kPackets) * Opus::frameSize * kChannels);
    std::uint32_t noise = 1;
    for (std::size_t i = 0; i < s.size() / kChannels; ++i) {
      const double t = static_cast<double>(i) / Opus::sampleRate;
      noise = noise * 1664525u + 1013904223u;
      const double n = (static_cast<double>(noise >> 8) / (1 << 24) - 0.5) * 0.02;
      s[2 * i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t) + n);
      s[2 * i + 1] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * (200 + 800 * t) * t) + n);
    }
    return s;
  }();
  return samples;
}

std::span<const float> frame(std::int64_t i) {
  const std::size_t size = static_cast<std::size_t>(Opus::frameSize) * kChannels;
  return std::span(second()).subspan(static_cast<std::size_t>(i % kPackets) * size, size);
}

const std::vector<Bytes>& packets() {
  static const std::vector<Bytes> p = OpusEncoder(kChannels, kBitrate).encode(second());
  return p;
}

void BM_OpusEncode20ms(benchmark::State& state) {
  OpusEncoder encoder(kChannels, kBitrate);
  std::int64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(encoder.encode(frame(i++)));
  state.SetLabel("ref=BM_LibopusEncode20ms metric=time");
}

void BM_LibopusEncode20ms(benchmark::State& state) {
  int status = 0;
  ::OpusEncoder* encoder = opus_encoder_create(Opus::sampleRate, kChannels, OPUS_APPLICATION_AUDIO, &status);
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(kBitrate));
  std::uint8_t out[Opus::maxPacketBytes];
  std::int64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(opus_encode_float(encoder, frame(i++).data(), Opus::frameSize, out, sizeof out));
    benchmark::ClobberMemory();
  }
  opus_encoder_destroy(encoder);
}

void BM_OpusDecode20ms(benchmark::State& state) {
  OpusDecoder decoder(kChannels);
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(decoder.decode(packets()[i++ % packets().size()]));
  state.SetLabel("ref=BM_LibopusDecode20ms metric=time");
}

void BM_LibopusDecode20ms(benchmark::State& state) {
  int status = 0;
  ::OpusDecoder* decoder = opus_decoder_create(Opus::sampleRate, kChannels, &status);
  std::vector<float> out(static_cast<std::size_t>(Opus::frameSize) * kChannels);
  std::size_t i = 0;
  for (auto _ : state) {
    const Bytes& p = packets()[i++ % packets().size()];
    benchmark::DoNotOptimize(
        opus_decode_float(decoder, p.data(), static_cast<opus_int32>(p.size()), out.data(), Opus::frameSize, 0));
    benchmark::ClobberMemory();
  }
  opus_decoder_destroy(decoder);
}

BENCHMARK(BM_OpusEncode20ms);
BENCHMARK(BM_LibopusEncode20ms);
BENCHMARK(BM_OpusDecode20ms);
BENCHMARK(BM_LibopusDecode20ms);

}  // namespace
}  // namespace pellora
