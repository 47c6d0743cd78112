#include "host/synthetic_screen_capturer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "host/capture_size.h"
#include "host/frame_stamp.h"
#include "host/h264_encoder.h"
#include "host/jpeg_region_encoder.h"
#include "core/quality.h"
#include "host/synthetic_frame_source.h"
#include "media_test_support.h"

namespace pellora {
namespace {

std::optional<FrameStamp> stampOf(const I420Frame& f) { return FrameStamp::read(f.y.data(), f.strideY, f.width, f.height); }

TEST(FrameStamp, RoundTripsAndRejectsWhatIsNotAStamp) {
  auto frame = I420Frame::allocate(1920, 1080);
  const FrameStamp stamp{0xDEADBEEF, 0x0123456789ABCDEF};
  stamp.draw(*frame);
  EXPECT_EQ(stampOf(*frame), stamp);
  EXPECT_TRUE(FrameStamp::area(100, 100).empty());

  // From packed RGB: one channel, every third byte.
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(1920) * 1080 * 3);
  for (std::size_t i = 0; i < frame->y.size(); ++i) rgb[i * 3 + 1] = frame->y[i];
  EXPECT_EQ(FrameStamp::read(rgb.data() + 1, 1920 * 3, 1920, 1080, 3), stamp);

  frame->y[static_cast<std::size_t>(frame->strideY) * 20 + 20] ^= 0xFF;  // one pixel: the cell's centre holds
  EXPECT_EQ(stampOf(*frame), stamp);
  for (int y = 16; y < 32; ++y)
    for (int x = 0; x < 16; ++x) frame->y[static_cast<std::size_t>(y) * frame->strideY + x] ^= 0xFF;  // one bit
  EXPECT_EQ(stampOf(*frame), std::nullopt);
  EXPECT_EQ(stampOf(*I420Frame::allocate(1920, 1080)), std::nullopt);
}

TEST(SyntheticFrameSource, ChangesOnlyWhereItSaysItDoes) {
  SyntheticFrameSource source(640, 480, 0.25);
  EXPECT_EQ(source.band(), (PixelRect{0, 64, 640, 120}));
  CapturedFrame first = source.next(100);
  EXPECT_EQ(first.dirty, (std::vector<PixelRect>{{0, 0, 640, 480}}));
  CapturedFrame second = source.next(200);
  ASSERT_EQ(second.dirty.size(), 2u);
  EXPECT_EQ(stampOf(*second.image), (FrameStamp{1, 200}));
  EXPECT_EQ(second.ptsMicros, 200);

  // Every changed pixel lies inside a reported rectangle, and the band did move.
  const I420Frame &a = *first.image, &b = *second.image;
  int changed = 0;
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * 640 + x;
      if (a.y[i] == b.y[i]) continue;
      ++changed;
      const bool covered = std::any_of(second.dirty.begin(), second.dirty.end(), [&](const PixelRect& r) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
      });
      ASSERT_TRUE(covered) << x << "," << y;
    }
  EXPECT_GT(changed, 640 * 120 / 4);
  EXPECT_TRUE(SyntheticFrameSource(640, 480, 0).band().empty());
}

// Decodes the stream of each preset, as a viewer would, and reads every frame's stamp back.
TEST(FrameStamp, SurvivesH264AtEveryPreset) {
  for (Quality q : allQualities) {
    const QualityPreset& p = preset(q);
    const PixelSize size = outputSize(2560, 1600, p.maxDimension);
    SyntheticFrameSource source(size.width, size.height, 0.3);
    H264Encoder encoder(size.width, size.height, p.h264Bitrate, p.h264Fps);
    std::optional<test::H264TestDecoder> decoder;
    std::vector<std::uint32_t> read;
    encoder.onOutput = [&](std::optional<Message> config, Message frame) {
      if (config) decoder.emplace(*config->as<Message::VideoConfig>());
      for (const auto& picture : decoder->decode(*frame.as<Message::VideoFrame>())) {
        const auto stamp = stampOf(*picture);
        ASSERT_TRUE(stamp) << rawValue(q) << " frame " << read.size();
        EXPECT_EQ(stamp->captureMicros, 5'000 + std::int64_t{stamp->counter} * 1'000'000 / p.h264Fps);
        read.push_back(stamp->counter);
      }
    };
    for (int i = 0; i < 8; ++i) {
      CapturedFrame f = source.next(5'000 + std::int64_t{i} * 1'000'000 / p.h264Fps);
      encoder.encode(f.image, f.ptsMicros);
    }
    EXPECT_EQ(read, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7})) << rawValue(q);
  }
}

TEST(FrameStamp, SurvivesJpegRegionsAtEveryPreset) {
  for (Quality q : allQualities) {
    const PixelSize size = outputSize(2560, 1600, preset(q).maxDimension);
    SyntheticFrameSource source(size.width, size.height, 0.1);
    JPEGRegionEncoder encoder(preset(q).jpegQuality);
    test::GrayImage canvas;
    for (std::uint32_t i = 0; i < 3; ++i) {
      CapturedFrame f = source.next(42 + i);
      const auto update = encoder.encode(*f.image, f.dirty, false);
      ASSERT_TRUE(update);
      EXPECT_EQ(update->as<Message::ImageRegions>()->full, i == 0);
      canvas = test::composeRegions(*update->as<Message::ImageRegions>(), std::move(canvas));
      EXPECT_EQ(FrameStamp::read(canvas.pixels.data(), canvas.width, canvas.width, canvas.height), (FrameStamp{i, 42 + i}))
          << rawValue(q);
    }
  }
}

TEST(SyntheticScreenCapturer, DeliversScaledStampedFramesUntilStopped) {
  SyntheticScreenCapturer capturer({2560, 1600, 0.1});
  const auto displays = capturer.displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0], (DisplayInfo{1, 2560, 1600, true, "Ekran 1"}));

  std::mutex m;
  std::condition_variable cv;
  std::vector<CapturedFrame> frames;
  capturer.onFrame = [&](const CapturedFrame& f) {
    std::lock_guard lock(m);
    frames.push_back(f);
    cv.notify_all();
  };
  const CaptureInfo info = capturer.start(77, 1440, 200);  // an unknown id captures the only display
  EXPECT_EQ(info.width, 1440);
  EXPECT_EQ(info.height, 900);
  EXPECT_EQ(info.displayBounds, (PixelRect{0, 0, 2560, 1600}));
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return frames.size() >= 3; });
  }
  capturer.stop();
  const std::size_t delivered = frames.size();
  for (std::size_t i = 0; i < delivered; ++i) {
    EXPECT_EQ(frames[i].image->width, 1440);
    const auto stamp = stampOf(*frames[i].image);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->counter, i);
    EXPECT_EQ(stamp->captureMicros, frames[i].ptsMicros);
    if (i > 0) {
      EXPECT_GE(frames[i].ptsMicros, frames[i - 1].ptsMicros);
    }
  }
  capturer.stop();
  EXPECT_EQ(frames.size(), delivered) << "no callback after stop";
}

}  // namespace
}  // namespace pellora
