// The host's video: both encoders, and the frame stamp through them into the viewer's renderer.

#include <gtest/gtest.h>

#include "base/av_handles.h"
#include "core/quality.h"
#include "core/transport_error.h"
#include "host/capture_size.h"
#include "host/frame_stamp.h"
#include "host/h264_encoder.h"
#include "host/h264_nal_units.h"
#include "host/jpeg_region_encoder.h"
#include "host/synthetic_frame_source.h"
#include "support/test_vectors.h"
#include "viewer/video_renderer.h"

namespace pellora {
namespace {

namespace json = boost::json;

// The session spaces pictures out on slow paths: the stream still carries the rate it was given, not that
// rate's share of the frames that no longer come.
TEST(H264Encoder, KeepsItsBitRateWhenFramesComeSlowerThanOpenedFor) {
  constexpr int bitrate = 200'000, seconds = 4;
  const auto bitsPerSecond = [&](int fps) {
    SyntheticFrameSource source(640, 360, 1.0);
    H264Encoder encoder(640, 360, bitrate, 30);
    encoder.setBitrate(bitrate, bitrate / 4, fps);
    std::size_t bytes = 0, frames = 0;
    encoder.onOutput = [&](std::optional<Message>, Message frame) {
      if (frames++ > 0) bytes += frame.as<Message::VideoFrame>()->data.size();  // past the first keyframe
    };
    for (int i = 0; i < seconds * fps; ++i) {
      CapturedFrame f = source.next(1'000'000 + std::int64_t{i} * 1'000'000 / fps);
      encoder.encode(f.image, f.ptsMicros);
    }
    return static_cast<double>(bytes) * 8 / seconds;
  };
  const double full = bitsPerSecond(30), spaced = bitsPerSecond(6);
  EXPECT_GT(full, bitrate * 0.6);
  EXPECT_GT(spaced, full * 0.6) << "at 6 of 30 frames a second";
}

TEST(H264Encoder, NoUsableEncoderThrowsConnectFailed) {
  try {
    H264Encoder encoder(640, 360, 1'000'000, 30, {"no_such_encoder"});
    FAIL() << "opened";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::connectFailed);
    EXPECT_EQ(e.detail(), "H.264 kodlayıcı açılamadı (" + std::to_string(AVERROR_ENCODER_NOT_FOUND) + ")");
  }
  for (auto [w, h] : {std::pair{641, 360}, std::pair{0, 360}}) {
    try {
      H264Encoder encoder(w, h, 1'000'000, 30);
      FAIL() << "opened " << w << "x" << h;
    } catch (const TransportError& e) {
      EXPECT_EQ(e.detail(), "H.264 kodlayıcı açılamadı (" + std::to_string(AVERROR(EINVAL)) + ")");
    }
  }
}

TEST(H264Encoder, UnusableFramesAreDroppedAndTimeStampsKeptIncreasing) {
  H264Encoder encoder(320, 240, 500'000, 15, {"libx264"});
  std::vector<std::uint64_t> pts;
  encoder.onOutput = [&pts](std::optional<Message>, Message frame) { pts.push_back(frame.as<Message::VideoFrame>()->ptsMicros); };
  encoder.encode(I420Frame::allocate(640, 480), 5);
  encoder.encode(nullptr, 5);
  auto truncated = I420Frame::allocate(320, 240);
  truncated->v.resize(100);
  encoder.encode(truncated, 5);
  EXPECT_TRUE(pts.empty());
  for (std::int64_t t : {-50, -50, 10}) encoder.encode(I420Frame::allocate(320, 240), t);
  EXPECT_EQ(pts, (std::vector<std::uint64_t>{0, 0, 10})) << "negative times are sent as 0";
}

TEST(H264NalUnits, AnnexBWithEitherStartCodeAndLengthPrefixes) {
  const Bytes stream = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 0, 1, 0x65, 0, 0, 3, 1, 0};
  const auto units = annexBUnits(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x67, 1, 2}));
  EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), (Bytes{0x68, 3}));
  EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), (Bytes{0x65, 0, 0, 3, 1})) << "emulation prevention kept";

  const Bytes avcc = {0, 0, 0, 2, 0x65, 9, 0, 0, 0, 1, 0x06};
  EXPECT_EQ(lengthPrefixedUnits(avcc, 4).size(), 2u);
  EXPECT_TRUE(lengthPrefixedUnits({avcc.data(), avcc.size() - 1}, 4).empty()) << "overruns";
  EXPECT_TRUE(lengthPrefixedUnits(Bytes{0, 0, 0, 0}, 4).empty()) << "empty unit";
  EXPECT_TRUE(lengthPrefixedUnits(avcc, 3).empty()) << "no such prefix size";

  const Bytes avcC = {1, 100, 0, 40, 0xFF, 0xE1, 0, 2, 0x67, 7, 1, 0, 1, 0x68};
  const H264Extradata e = parseExtradata(avcC);
  EXPECT_EQ(e.nalLength, 4);
  EXPECT_EQ(e.parameterSets, (std::vector<Bytes>{{0x67, 7}, {0x68}}));
  EXPECT_EQ(parseExtradata(ByteView(avcC).first(10)).parameterSets.size(), 1u) << "truncated record";
  EXPECT_EQ(parseExtradata(stream).parameterSets, (std::vector<Bytes>{{0x67, 1, 2}, {0x68, 3}}));
}

std::vector<PixelRect> rectsOf(const json::value& v) {
  std::vector<PixelRect> out;
  for (const auto& r : v.as_array()) {
    const auto a = json::value_to<std::vector<int>>(r);
    out.push_back({a.at(0), a.at(1), a.at(2), a.at(3)});
  }
  return out;
}

TEST(TileRuns, Vectors) {
  for (const auto& v : test::wireVectors().at("tileRuns").as_array()) {
    const auto& o = v.as_object();
    EXPECT_EQ(JPEGRegionEncoder::tileRuns(rectsOf(o.at("rects")), json::value_to<int>(o.at("width")),
                                          json::value_to<int>(o.at("height"))),
              rectsOf(o.at("runs")))
        << json::serialize(v);
  }
}

TEST(TileRuns, ChangesOutsideOrDegenerateMarkNothingAndNeverOverflow) {
  using V = std::vector<PixelRect>;
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{-100, -100, 50, 50}, {700, 10, 10, 10}, {0, 600, 10, 10}}, 640, 480), V{});
  // A negative size reaches left and up.
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{100, 100, -40, -40}}, 640, 480), (V{{0, 0, 128, 64}, {0, 64, 128, 64}}));
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{2'000'000'000, 0, 2'000'000'000, 1}}, 640, 480), V{});
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{0, 0, 10, 10}}, 0, 480), V{});
}

class JPEGRegions : public ::testing::Test {
 protected:
  // 640 × 640: a grid of 10 × 10 tiles, one tile 1 % of the frame.
  SyntheticFrameSource source{640, 640, 0.5};
  std::shared_ptr<const I420Frame> frame = source.next(1).image;
  JPEGRegionEncoder encoder{0.95};

  Message::ImageRegions encode(const std::vector<PixelRect>& dirty, bool full) {
    std::optional<Message> m = encoder.encode(*frame, dirty, full);
    EXPECT_TRUE(m.has_value());
    return m ? *m->as<Message::ImageRegions>() : Message::ImageRegions{};
  }
};

TEST_F(JPEGRegions, SixtyPercentOfTheFrameSwitchesToOneFullImage) {
  // 5 rows plus 9 tiles = 59 tiles; 6 rows plus 1 tile = 61.
  const auto below = encode({{0, 0, 640, 320}, {0, 320, 576, 64}}, false);
  EXPECT_FALSE(below.full);
  EXPECT_EQ(below.regions.size(), 6u);
  const auto above = encode({{0, 0, 640, 384}, {0, 384, 64, 64}}, false);
  EXPECT_TRUE(above.full);
  ASSERT_EQ(above.regions.size(), 1u);
  EXPECT_EQ((PixelRect{above.regions[0].x, above.regions[0].y, above.regions[0].width, above.regions[0].height}),
            (PixelRect{0, 0, 640, 640}));
}

TEST_F(JPEGRegions, FullFlagOrNoChangeListSendsTheWholeFrameAndMalformedFramesNothing) {
  for (const auto& [dirty, full] : {std::pair{std::vector<PixelRect>{}, false},
                                    std::pair{std::vector<PixelRect>{{0, 0, 1, 1}}, true}}) {
    const auto m = encode(dirty, full);
    EXPECT_TRUE(m.full);
    EXPECT_EQ(m.width, 640u);
    EXPECT_EQ(m.height, 640u);
    ASSERT_EQ(m.regions.size(), 1u);
    EXPECT_EQ(m.regions[0].width, 640);
  }
  EXPECT_EQ(encoder.encode(*frame, {{1000, 1000, 5, 5}}, false), std::nullopt) << "changes outside the frame";
  // Malformed frames are not read.
  EXPECT_EQ(encoder.encode(*I420Frame::allocate(63, 64), {}, true), std::nullopt);
  auto truncated = std::make_shared<I420Frame>(*frame);
  truncated->v.resize(10);
  EXPECT_EQ(encoder.encode(*truncated, {}, true), std::nullopt);
}

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

// The stamp of the picture the viewer's renderer shows after `message`, read as the headless viewer reads it.
std::optional<FrameStamp> shownStamp(VideoRenderer& renderer, Message message) {
  renderer.handle(std::move(message));
  renderer.waitUntilIdle();
  const auto picture = renderer.sink()->take();
  if (!picture) return std::nullopt;
  return FrameStamp::read(picture->bgra.data() + 1, picture->stride, picture->width, picture->height, 4);
}

// Each preset's stream of both encoders, drawn by the viewer's renderer, still carries every frame's stamp.
TEST(FrameStamp, SurvivesBothEncodersAtEveryPreset) {
  for (Quality q : allQualities) {
    SCOPED_TRACE(rawValue(q));
    const QualityPreset& p = preset(q);
    const PixelSize size = outputSize(2560, 1600, p.maxDimension);
    {
      VideoRenderer renderer(std::make_shared<FrameSink>(), VideoRenderer::maxDimension, false);
      SyntheticFrameSource source(size.width, size.height, 0.3);
      H264Encoder encoder(size.width, size.height, p.h264Bitrate, p.h264Fps);
      std::vector<std::uint32_t> read;
      encoder.onOutput = [&](std::optional<Message> config, Message frame) {
        if (config) renderer.handle(std::move(*config));
        const auto stamp = shownStamp(renderer, std::move(frame));
        ASSERT_TRUE(stamp) << "frame " << read.size();
        EXPECT_EQ(stamp->captureMicros, 5'000 + std::int64_t{stamp->counter} * 1'000'000 / p.h264Fps);
        read.push_back(stamp->counter);
      };
      for (int i = 0; i < 8; ++i) {
        CapturedFrame f = source.next(5'000 + std::int64_t{i} * 1'000'000 / p.h264Fps);
        encoder.encode(f.image, f.ptsMicros);
      }
      EXPECT_EQ(read, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    }
    VideoRenderer renderer(std::make_shared<FrameSink>(), VideoRenderer::maxDimension, false);
    SyntheticFrameSource source(size.width, size.height, 0.1);
    JPEGRegionEncoder encoder(p.jpegQuality);
    for (std::uint32_t i = 0; i < 3; ++i) {
      CapturedFrame f = source.next(42 + i);
      auto update = encoder.encode(*f.image, f.dirty, false);
      ASSERT_TRUE(update);
      EXPECT_EQ(update->as<Message::ImageRegions>()->full, i == 0);
      EXPECT_EQ(shownStamp(renderer, std::move(*update)), (FrameStamp{i, 42 + i}));
    }
  }
}

}  // namespace
}  // namespace pellora
