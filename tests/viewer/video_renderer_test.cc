// What the viewer shows and plays: the host's pictures in both codecs, and its sound.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>

#include "host/frame_stamp.h"
#include "host/h264_encoder.h"
#include "host/h264_nal_units.h"
#include "host/jpeg_region_encoder.h"
#include "core/transport_error.h"
#include "host/synthetic_frame_source.h"
#include "support/opus_packets.h"
#include "viewer/audio_player.h"
#include "viewer/fake_audio_output.h"
#include "viewer/video_renderer.h"

namespace pellora {
namespace {

using Size = VideoRenderer::Size;

// What the host's H.264 encoder sends for `count` frames, keyframes where it chose them and before the
// frames in `forceAt`. `configs[i]` is the configuration sent before frame i, if any.
struct Stream {
  std::vector<std::optional<Message::VideoConfig>> configs;
  std::vector<Message::VideoFrame> frames;
};

Stream encodeStream(int width, int height, int count, const std::function<CapturedFrame()>& next,
                    std::vector<int> forceAt = {}) {
  H264Encoder encoder(width, height, 2'000'000, 30);
  Stream out;
  encoder.onOutput = [&out](std::optional<Message> config, Message frame) {
    out.configs.push_back(config ? std::optional(*config->as<Message::VideoConfig>()) : std::nullopt);
    out.frames.push_back(*frame.as<Message::VideoFrame>());
  };
  for (int i = 0; i < count; ++i) {
    if (std::find(forceAt.begin(), forceAt.end(), i) != forceAt.end()) encoder.forceKeyframe = true;
    const CapturedFrame f = next();
    encoder.encode(f.image, f.ptsMicros);
  }
  return out;
}

// Synthetic desktop frames, each stamped with its number.
Stream encodeStream(int width, int height, int count, std::vector<int> forceAt = {}) {
  SyntheticFrameSource source(width, height, 0.3);
  std::int64_t pts = 1'000'000;
  return encodeStream(width, height, count, [&] { return source.next(pts++); }, std::move(forceAt));
}

// The stamp's frame number read back from the green channel of a decoded picture.
std::optional<std::uint32_t> stampOf(const Picture& p) {
  const auto stamp = FrameStamp::read(p.bgra.data() + 1, p.stride, p.width, p.height, 4);
  if (!stamp) return std::nullopt;
  return stamp->counter;
}

// The same access unit with `n`-byte length prefixes instead of 4-byte ones, without the encoder's
// informational units (its version text alone would not fit a one-byte prefix).
Bytes withPrefixes(const Bytes& sample, int n) {
  constexpr int nalTypeSEI = 6;
  Bytes out;
  for (ByteView unit : lengthPrefixedUnits(sample, 4)) {
    if ((unit[0] & 0x1f) == nalTypeSEI) continue;
    EXPECT_LT(unit.size(), std::size_t{1} << (8 * n));
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(unit.size() >> (8 * i)));
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

std::shared_ptr<I420Frame> flatFrame(int width, int height, std::uint8_t luma) {
  auto f = I420Frame::allocate(width, height);
  std::fill(f->y.begin(), f->y.end(), luma);
  std::fill(f->u.begin(), f->u.end(), 128);
  std::fill(f->v.begin(), f->v.end(), 128);
  return f;
}

// A JPEG of a flat grey `width` × `height` picture, as the host's encoder makes it.
Bytes flatJpeg(int width, int height, std::uint8_t luma) {
  JPEGRegionEncoder encoder(0.9);
  const auto m = encoder.encode(*flatFrame(width, height, luma), {}, true);
  return m->as<Message::ImageRegions>()->regions.at(0).jpeg;
}

// The mean of the green channel over a rectangle of a picture.
double meanGreen(const Picture& p, int x, int y, int w, int h) {
  double sum = 0;
  for (int row = y; row < y + h; ++row)
    for (int col = x; col < x + w; ++col) sum += p.bgra[static_cast<std::size_t>(row) * p.stride + col * 4 + 1];
  return sum / (w * h);
}

class VideoRendererTest : public ::testing::Test {
 protected:
  VideoRendererTest() {
    renderer.requestKeyframe = [this] { ++keyframeRequests; };
    renderer.onSize = [this](Size s) { sizes.push_back(s); };
  }

  // Hands the messages over and waits until the renderer has handled them.
  template <typename... Cases>
  std::shared_ptr<const Picture> feed(Cases&&... cases) {
    (renderer.handle(Message(std::forward<Cases>(cases))), ...);
    renderer.waitUntilIdle();
    return sink->take();
  }
  std::shared_ptr<const Picture> feedFrame(const Stream& s, std::size_t i) {
    if (s.configs[i]) renderer.handle(*s.configs[i]);
    return feed(s.frames[i]);
  }
  // Feeds frames [from, to) with their configurations: each shows at once, with its own stamp.
  void expectDecoded(const Stream& s, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const auto picture = feedFrame(s, i);
      ASSERT_TRUE(picture) << "no frame delay: every access unit shows at once (" << i << ")";
      EXPECT_EQ(stampOf(*picture), i);
    }
  }

  // Declared before the renderer: its queue is stopped before these go.
  std::atomic<int> keyframeRequests{0};
  std::vector<Size> sizes;
  std::shared_ptr<FrameSink> sink = std::make_shared<FrameSink>();
  VideoRenderer renderer{sink};
};

// Every frame shows at once with its own stamp; the same configuration again keeps the decoder; then
// another size: a new decoder, sized by its configuration.
TEST_F(VideoRendererTest, DecodesTheHostStreamFrameByFrameAndFollowsANewSize) {
  const Stream s = encodeStream(256, 144, 8);
  ASSERT_FALSE(s.configs[7]);
  expectDecoded(s, 0, 7);
  feed(*s.configs[0]);
  const auto delta = feed(s.frames[7]);
  ASSERT_TRUE(delta);
  EXPECT_EQ(stampOf(*delta), 7u) << "a fresh decoder could not have decoded this delta frame";
  EXPECT_EQ(keyframeRequests, 0);
  EXPECT_EQ(sizes, (std::vector<Size>{{256, 144}}));
  const Stream resized = encodeStream(320, 192, 2);
  EXPECT_FALSE(feed(*resized.configs[0])) << "a configuration alone shows nothing";
  EXPECT_EQ(sizes.back(), (Size{320, 192}));
  const auto picture = feed(resized.frames[0]);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 320);
  EXPECT_EQ(stampOf(*picture), 0u);
}

TEST_F(VideoRendererTest, RecoversFromABrokenFrameAtTheNextKeyframe) {
  const Stream s = encodeStream(256, 144, 6, {4});
  expectDecoded(s, 0, 2);

  // A length prefix that runs past the end of the sample: the decoder is flushed and a keyframe asked for.
  Message::VideoFrame broken = s.frames[2];
  broken.data[0] = 0x7f;
  EXPECT_FALSE(feed(broken));
  EXPECT_EQ(keyframeRequests, 1);
  EXPECT_FALSE(feed(s.frames[3])) << "delta frames wait for the keyframe again";
  EXPECT_EQ(keyframeRequests, 1);
  expectDecoded(s, 4, 6);
  EXPECT_EQ(keyframeRequests, 1);
}

TEST_F(VideoRendererTest, HonoursEveryLengthPrefixSize) {
  // Flat grey 32 × 32 pictures: small enough that every unit fits a one-byte prefix.
  const auto grey = flatFrame(32, 32, 128);
  std::int64_t pts = 0;
  const Stream s = encodeStream(32, 32, 3, [&] { return CapturedFrame{grey, pts++, {}}; });
  ASSERT_TRUE(s.configs[0]);
  for (int n : {1, 2, 3, 4}) {
    SCOPED_TRACE(n);
    // Same parameter sets, another prefix size: still a new decoder, framed the new way.
    Message::VideoConfig config = *s.configs[0];
    config.nalLength = static_cast<std::uint8_t>(n);
    renderer.handle(config);
    for (const auto& original : s.frames) {
      Message::VideoFrame frame = original;
      frame.data = withPrefixes(frame.data, n);
      const auto picture = feed(frame);
      ASSERT_TRUE(picture);
      EXPECT_EQ(picture->width, 32);
      EXPECT_NEAR(meanGreen(*picture, 0, 0, 32, 32), 130, 6);
    }
  }
  EXPECT_EQ(keyframeRequests, 0);
}

TEST_F(VideoRendererTest, IgnoresUnusableConfigurations) {
  const Stream s = encodeStream(256, 144, 1);
  // Sizes of 0 or above the limit, prefixes of 0 or 5 bytes, no parameter sets, another codec: frames
  // then still find no decoder.
  std::vector<Message::VideoConfig> refused(6, *s.configs[0]);
  refused[0].width = 0;
  refused[1].height = VideoRenderer::maxDimension + 1;
  refused[2].nalLength = 0;
  refused[3].nalLength = 5;
  refused[4].parameterSets.clear();
  refused[5].codec = static_cast<std::uint8_t>(Codec::jpegRegions);
  for (const auto& config : refused) EXPECT_FALSE(feed(config, s.frames[0]));
  EXPECT_EQ(keyframeRequests, 6);
  EXPECT_EQ(renderer.mode(), VideoRenderer::Mode::none);
  EXPECT_EQ(sizes, (std::vector<Size>{{256, 144}})) << "sizes only from configurations of a sane size";
}

TEST_F(VideoRendererTest, DrawsJpegRegionsOnOnePersistentCanvas) {
  // The first update is partial (a white top half on 128 × 128): the canvas is made, a keyframe asked for,
  // and the region still shown, in the top rows.
  const auto first = feed(Message::ImageRegions{128, 128, false, {{0, 0, 128, 64, flatJpeg(128, 64, 235)}}});
  ASSERT_TRUE(first);
  EXPECT_EQ(keyframeRequests, 1);
  EXPECT_EQ(renderer.mode(), VideoRenderer::Mode::jpeg);
  EXPECT_EQ(sizes, (std::vector<Size>{{128, 128}}));
  EXPECT_EQ(first->height, 128);
  EXPECT_GT(meanGreen(*first, 0, 0, 128, 64), 200);
  EXPECT_EQ(meanGreen(*first, 0, 64, 128, 64), 0) << "the rest of a new canvas is blank";
  EXPECT_EQ(first->bgra[3], 0xff);

  // Later regions draw over the same canvas; pictures already handed out do not change.
  Message::ImageRegions grey{128, 128, false, {{64, 64, 64, 64, flatJpeg(64, 64, 128)}}};
  Message::ImageRegions black{128, 128, false, {{0, 64, 64, 64, flatJpeg(64, 64, 16)}}};
  renderer.handle(grey);
  const auto newest = feed(black);
  ASSERT_TRUE(newest);
  EXPECT_FALSE(sink->take()) << "the sink holds only the newest picture";
  EXPECT_GT(meanGreen(*newest, 0, 0, 128, 64), 200);
  EXPECT_NEAR(meanGreen(*newest, 64, 64, 64, 64), 128, 8);
  EXPECT_EQ(meanGreen(*first, 64, 64, 64, 64), 0);
  EXPECT_EQ(keyframeRequests, 1);
  EXPECT_EQ(sizes.size(), 1u);

  // A new remote size replaces the canvas; a full update needs no keyframe.
  const auto resized = feed(Message::ImageRegions{64, 64, true, {{0, 0, 64, 64, flatJpeg(64, 64, 128)}}});
  ASSERT_TRUE(resized);
  EXPECT_EQ(resized->width, 64);
  EXPECT_NEAR(meanGreen(*resized, 0, 0, 64, 64), 128, 8);
  EXPECT_EQ(sizes.back(), (Size{64, 64}));
  EXPECT_EQ(keyframeRequests, 1);

  // The mode follows the newest picture: an H.264 configuration alone leaves it.
  const Stream s = encodeStream(256, 144, 1);
  feed(*s.configs[0]);
  EXPECT_EQ(renderer.mode(), VideoRenderer::Mode::jpeg);
  ASSERT_TRUE(feed(s.frames[0]));
  EXPECT_EQ(renderer.mode(), VideoRenderer::Mode::h264);
}

TEST_F(VideoRendererTest, SkipsRegionsThatDoNotFit) {
  const Bytes white = flatJpeg(64, 64, 235);
  Bytes truncated(white.begin(), white.begin() + 20);
  const auto picture = feed(Message::ImageRegions{
      128, 96, true,
      {
          {100, 0, 64, 64, white},  // past the right edge
          {0, 64, 64, 64, white},   // past the bottom edge
          {0, 0, 32, 32, white},    // not the JPEG's size
          {0, 0, 64, 64, {1, 2, 3}},
          {0, 0, 64, 64, truncated},
          {0, 0, 0, 0, {}},
          {64, 32, 64, 64, white},  // fits exactly in the bottom right corner
      }});
  ASSERT_TRUE(picture);
  EXPECT_EQ(meanGreen(*picture, 0, 0, 64, 96), 0);
  EXPECT_EQ(meanGreen(*picture, 64, 0, 64, 32), 0);
  EXPECT_GT(meanGreen(*picture, 64, 32, 64, 64), 200);

  // Remote sizes of 0 or above the limit are not allocated at all.
  EXPECT_FALSE(feed(Message::ImageRegions{0, 96, true, {}}));
  EXPECT_FALSE(feed(Message::ImageRegions{VideoRenderer::maxDimension + 1, 16, true, {}}));
  EXPECT_EQ(sizes.back(), (Size{128, 96}));
}

struct PlayerUnderTest {
  FakeAudioOutput* output = new FakeAudioOutput;
  AudioPlayer player{2, std::unique_ptr<AudioOutput>(output)};
  // The player must handle any packet length the codec allows, not only the 20 ms ones our encoder makes.
  test::RawOpusPackets full{{750, 1500}, 960}, half{{750, 1500}, 480};

  void play(Bytes packet) {
    player.play(std::move(packet));
    player.waitUntilIdle();
  }
};

TEST(AudioPlayer, StartsOnceEightyMillisecondsAreQueuedAndNeverPausesAgain) {
  PlayerUnderTest t;
  EXPECT_EQ(t.output->log().channels, 2);
  for (int i = 0; i < 3; ++i) t.play(t.full.next());
  EXPECT_EQ(t.output->log().playCalls, 0);
  EXPECT_EQ(t.player.queuedFrames(), 2880);
  t.play(t.full.next());
  EXPECT_EQ(t.output->log().playCalls, 1);
  EXPECT_EQ(t.output->log().scheduledAtPlay, 4u);
  // Draining the queue completely (an underrun) does not re-prime: the next packet goes straight out.
  t.output->consume(4);
  EXPECT_EQ(t.player.queuedFrames(), 0);
  t.play(t.full.next());
  EXPECT_EQ(t.output->log().playCalls, 1);
  EXPECT_EQ(t.output->log().scheduled.size(), 5u);
}

TEST(AudioPlayer, DropsNewPacketsWhileMoreThanAQuarterSecondIsQueued) {
  PlayerUnderTest t;
  for (int i = 0; i < 12; ++i) t.play(t.full.next());
  t.play(t.half.next());
  ASSERT_EQ(t.player.queuedFrames(), 12'000);
  t.play(t.full.next());  // exactly at the limit: still scheduled
  EXPECT_EQ(t.player.queuedFrames(), 12'960);
  t.play(t.full.next());  // above it: dropped, queued sound untouched
  EXPECT_EQ(t.player.queuedFrames(), 12'960);
  EXPECT_EQ(t.output->log().scheduled.size(), 14u);
  t.output->consume(1);  // back to 12,000: packets flow again
  t.play(t.full.next());
  EXPECT_EQ(t.output->log().scheduled.size(), 15u);
}

TEST(AudioPlayer, IgnoresPacketsThatDoNotDecodeAndAllAfterStop) {
  PlayerUnderTest t;
  t.play({});
  t.play(Bytes{0xfb, 0x3f});
  t.play(Bytes(3000, 0xff));
  EXPECT_EQ(t.player.queuedFrames(), 0);
  t.play(t.full.next());
  t.player.stop();
  EXPECT_TRUE(t.output->log().stopped);
  t.player.play(t.full.next());
  t.player.waitUntilIdle();
  t.player.stop();
  EXPECT_EQ(t.output->log().scheduled.size(), 1u);
}

TEST(AudioPlayer, CreationFailuresReachTheCaller) {
  auto failing = std::make_unique<FakeAudioOutput>();
  failing->failOpen = true;
  EXPECT_THROW(AudioPlayer(2, std::move(failing)), TransportError);
  EXPECT_THROW(AudioPlayer(3, std::make_unique<FakeAudioOutput>()), OpusError);
}

}  // namespace
}  // namespace pellora
