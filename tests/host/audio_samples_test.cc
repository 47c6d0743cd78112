#include "host/audio_samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace pellora {
namespace {

ByteView view(const std::vector<float>& v) {
  return {reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(float)};
}

AudioSampleBuffer interleavedBuffer(const std::vector<float>& samples, int channels) {
  AudioSampleBuffer b;
  b.format.channels = channels;
  b.frames = samples.size() / static_cast<std::size_t>(channels);
  b.buffers = {view(samples)};
  return b;
}

TEST(AudioSamples, MapsSourceChannelsOntoTheEncodersChannels) {
  const std::vector<float> stereo{0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f};
  EXPECT_EQ(AudioSamples::interleaved(interleavedBuffer(stereo, 2), 2), stereo);
  // Mono output keeps the first channel; a mono source feeds both channels.
  EXPECT_EQ(AudioSamples::interleaved(interleavedBuffer(stereo, 2), 1), (std::vector<float>{0.1f, 0.2f, 0.3f}));
  const std::vector<float> mono{0.5f, -0.25f};
  EXPECT_EQ(AudioSamples::interleaved(interleavedBuffer(mono, 1), 2),
            (std::vector<float>{0.5f, 0.5f, -0.25f, -0.25f}));
  // Channels beyond the encoder's are dropped.
  const std::vector<float> four{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(AudioSamples::interleaved(interleavedBuffer(four, 4), 2), (std::vector<float>{1, 2, 5, 6}));
}

TEST(AudioSamples, InterleavesOneBufferPerChannelEvenWhenUnaligned) {
  const std::vector<float> left{1, 2, 3}, right{-1, -2, -3};
  std::vector<std::uint8_t> shifted(1 + right.size() * sizeof(float));
  std::memcpy(shifted.data() + 1, right.data(), right.size() * sizeof(float));
  AudioSampleBuffer b;
  b.format.interleaved = false;
  b.frames = 3;
  b.buffers = {view(left), ByteView(shifted).subspan(1)};
  EXPECT_EQ(AudioSamples::interleaved(b, 2), (std::vector<float>{1, -1, 2, -2, 3, -3}));
  // A mono encoder needs only the first buffer.
  b.buffers.pop_back();
  EXPECT_EQ(AudioSamples::interleaved(b, 1), left);
  EXPECT_EQ(AudioSamples::interleaved(b, 2), std::nullopt);
}

TEST(AudioSamples, SkipsBuffersItCannotReadSafely) {
  const std::vector<float> stereo(8, 0.25f);
  const AudioSampleBuffer good = interleavedBuffer(stereo, 2);
  ASSERT_TRUE(AudioSamples::interleaved(good, 2));
  const std::vector<std::pair<const char*, void (*)(AudioSampleBuffer&)>> cases{
      {"44.1 kHz", [](AudioSampleBuffer& b) { b.format.sampleRate = 44'100; }},
      {"48 kHz plus one", [](AudioSampleBuffer& b) { b.format.sampleRate = 48'001; }},
      {"rate not a number", [](AudioSampleBuffer& b) { b.format.sampleRate = std::nan(""); }},
      {"integer samples", [](AudioSampleBuffer& b) { b.format.isFloat = false; }},
      {"64-bit floats", [](AudioSampleBuffer& b) { b.format.bitsPerChannel = 64; }},
      {"compressed", [](AudioSampleBuffer& b) { b.format.linearPCM = false; }},
      {"no channels", [](AudioSampleBuffer& b) { b.format.channels = 0; }},
      {"no frames", [](AudioSampleBuffer& b) { b.frames = 0; }},
      {"no buffer", [](AudioSampleBuffer& b) { b.buffers.clear(); }},
      {"more frames than bytes", [](AudioSampleBuffer& b) { b.frames = 5; }},
      {"frame count that overflows", [](AudioSampleBuffer& b) { b.frames = SIZE_MAX / 2; }},
      {"planar without enough buffers", [](AudioSampleBuffer& b) { b.format.interleaved = false; }},
  };
  for (const auto& [what, spoil] : cases) {
    AudioSampleBuffer b = good;
    spoil(b);
    EXPECT_EQ(AudioSamples::interleaved(b, 2), std::nullopt) << what;
  }
  // The rate is compared as an integer.
  AudioSampleBuffer b = good;
  b.format.sampleRate = 48'000.4;
  EXPECT_TRUE(AudioSamples::interleaved(b, 2));
  EXPECT_EQ(AudioSamples::interleaved(good, 0), std::nullopt);
}

}  // namespace
}  // namespace pellora
