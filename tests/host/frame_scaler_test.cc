// What the host makes of captured pictures and sound before encoding them.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "core/quality.h"
#include "host/audio_samples.h"
#include "host/capture_size.h"
#include "host/cursor_image.h"
#include "host/frame_scaler.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

namespace json = boost::json;

std::vector<std::uint8_t> solid(int width, int height, std::uint32_t bgra) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    for (int c = 0; c < 4; ++c) pixels[i + c] = static_cast<std::uint8_t>(bgra >> (8 * c));
  }
  return pixels;
}

void fill(std::vector<std::uint8_t>& pixels, int width, PixelRect r, std::uint32_t bgra) {
  for (int y = r.y; y < r.y + r.height; ++y) {
    for (int x = r.x; x < r.x + r.width; ++x) {
      for (int c = 0; c < 4; ++c)
        pixels[(static_cast<std::size_t>(y) * width + x) * 4 + c] = static_cast<std::uint8_t>(bgra >> (8 * c));
    }
  }
}

bool inside(const std::vector<PixelRect>& rects, int x, int y) {
  for (const PixelRect& r : rects) {
    if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) return true;
  }
  return false;
}

TEST(FrameScaler, MapsRectanglesToEvenOutputRectangles) {
  FrameScaler same(640, 360, 640, 360);
  EXPECT_EQ(same.toOutput({{3, 3, 5, 5}}), (std::vector<PixelRect>{{2, 2, 6, 6}}));
  EXPECT_EQ(same.toOutput({{0, 0, 0, 5}, {700, 0, 5, 5}}), std::vector<PixelRect>{});  // empty or outside
  EXPECT_EQ(same.toOutput({{636, 357, 10, 10}}), (std::vector<PixelRect>{{636, 356, 4, 4}}));

  FrameScaler half(1280, 720, 640, 360);
  EXPECT_EQ(half.toOutput({{100, 50, 10, 10}}), (std::vector<PixelRect>{{48, 24, 8, 8}}));

  std::vector<PixelRect> many;
  for (int i = 0; i < 10; ++i) many.push_back({i * 20, i * 10, 2, 2});
  EXPECT_EQ(same.toOutput(many, 4), (std::vector<PixelRect>{{0, 0, 182, 92}}));
}

// Whatever changes in a source rectangle, the output pixels that change lie in its output rectangles.
TEST(FrameScaler, ChangedOutputPixelsLieInTheMappedRectangles) {
  struct Size {
    int sw, sh, ow, oh;
  };
  std::mt19937 random(7);
  for (Size s :
       {Size{200, 120, 200, 120}, Size{199, 119, 200, 120}, Size{400, 240, 250, 150}, Size{300, 200, 120, 80}}) {
    FrameScaler scaler(s.sw, s.sh, s.ow, s.oh);
    const auto before = solid(s.sw, s.sh, 0xFF204060);
    const auto a = scaler.convert(before.data(), s.sw * 4);
    for (int round = 0; round < 20; ++round) {
      const int x = static_cast<int>(random() % s.sw), y = static_cast<int>(random() % s.sh);
      const PixelRect r{x, y, 1 + static_cast<int>(random() % (s.sw - x)) % 17,
                        1 + static_cast<int>(random() % (s.sh - y)) % 13};
      auto after = before;
      fill(after, s.sw, r, 0xFFF0E0D0);
      const auto b = scaler.convert(after.data(), s.sw * 4);
      const auto rects = scaler.toOutput({r});
      for (int oy = 0; oy < s.oh; ++oy) {
        for (int ox = 0; ox < s.ow; ++ox) {
          const std::size_t i = static_cast<std::size_t>(oy) * a->strideY + ox;
          const bool lumaChanged = a->y[i] != b->y[i];
          if (lumaChanged) {
            ASSERT_TRUE(inside(rects, ox, oy)) << ox << "," << oy << " of " << r.x << "," << r.y;
          }
          const std::size_t c = static_cast<std::size_t>(oy / 2) * a->strideU + ox / 2;
          if (a->u[c] != b->u[c] || a->v[c] != b->v[c]) {
            ASSERT_TRUE(inside(rects, ox, oy)) << "chroma at " << ox << "," << oy;
          }
        }
      }
    }
  }
}

TEST(CursorImage, BlendsPremultipliedPixelsAndClipsToTheFrame) {
  // A 2x2 cursor: opaque red, transparent, half-transparent white, opaque blue.
  CursorImage cursor{99, 49, 2, 2, {0xFFFF0000, 0x00000000, 0x80808080, 0xFF0000FF}};
  std::vector<std::uint8_t> frame(4 * 4 * 4, 0x40);  // a 4x4 grey frame at (100, 50)
  const PixelRect touched = cursor.drawInto(frame.data(), 16, {100, 50, 4, 4});
  EXPECT_EQ(touched, (PixelRect{0, 0, 1, 1}));  // only the bottom-right cursor pixel lies inside
  EXPECT_EQ(frame[0], 0xFF);                    // blue
  EXPECT_EQ(frame[2], 0x00);
  EXPECT_EQ(frame[4], 0x40);  // untouched neighbour

  cursor.x = 100;
  cursor.y = 50;
  std::fill(frame.begin(), frame.end(), 0x40);
  EXPECT_EQ(cursor.drawInto(frame.data(), 16, {100, 50, 4, 4}), (PixelRect{0, 0, 2, 2}));
  EXPECT_EQ(frame[2], 0xFF);  // red in B,G,R order
  EXPECT_EQ(frame[0], 0x00);
  EXPECT_EQ(frame[4], 0x40);                              // transparent
  EXPECT_EQ(frame[16], 0x80 + (0x40 * 127 + 127) / 255);  // half white over grey

  cursor.x = 200;
  EXPECT_TRUE(cursor.drawInto(frame.data(), 16, {100, 50, 4, 4}).empty());
  cursor.pixels.resize(3);  // too few pixels for its size: drawn nowhere
  cursor.x = 100;
  EXPECT_TRUE(cursor.drawInto(frame.data(), 16, {100, 50, 4, 4}).empty());
}

TEST(Quality, CodecChoiceVectors) {
  for (const auto& v : test::wireVectors().at("codecChoice").as_array()) {
    const auto& o = v.as_object();
    const auto codecs = json::value_to<std::vector<std::uint8_t>>(o.at("codecs"));
    EXPECT_EQ(static_cast<int>(chooseCodec(codecs)), json::value_to<int>(o.at("chosen"))) << json::serialize(v);
  }
}

TEST(CaptureSize, ScalesDownToEvenSidesAndDegenerateInputsStillEncode) {
  EXPECT_EQ(outputSize(1365, 767, 1440), (PixelSize{1366, 768}));   // never enlarged; halves away from zero
  EXPECT_EQ(outputSize(1080, 1920, 1440), (PixelSize{810, 1440}));  // portrait: the height is the larger side
  EXPECT_EQ(outputSize(100'000, 1, 1440), (PixelSize{1440, 2}));    // would round to 0
  EXPECT_EQ(outputSize(0, 0, 1440), (PixelSize{2, 2}));
  EXPECT_EQ(outputSize(1365, 767, 0), (PixelSize{1366, 768}));  // no limit
}

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
