#include "host/h264_encoder.h"

#include <gtest/gtest.h>

#include "core/transport_error.h"
#include "host/h264_nal_units.h"
#include "core/quality.h"
#include "host/synthetic_frame_source.h"
#include "media_test_support.h"

namespace pellora {
namespace {

struct Output {
  std::optional<Message::VideoConfig> config;
  Message::VideoFrame frame;
};

// Encodes `count` synthetic frames at `fps`, forcing a keyframe before the frames listed in `forceAt`.
std::vector<Output> encodeSynthetic(H264Encoder& encoder, SyntheticFrameSource& source, int count, int fps,
                                    std::vector<std::shared_ptr<const I420Frame>>* sources = nullptr,
                                    std::vector<int> forceAt = {}) {
  std::vector<Output> out;
  encoder.onOutput = [&out](std::optional<Message> config, Message frame) {
    out.push_back({config ? std::optional(*config->as<Message::VideoConfig>()) : std::nullopt,
                   *frame.as<Message::VideoFrame>()});
  };
  for (int i = 0; i < count; ++i) {
    if (std::find(forceAt.begin(), forceAt.end(), i) != forceAt.end()) encoder.forceKeyframe = true;
    CapturedFrame f = source.next(1'000'000 + std::int64_t{i} * 1'000'000 / fps);
    if (sources) sources->push_back(f.image);
    encoder.encode(f.image, f.ptsMicros);
  }
  return out;
}

TEST(H264Encoder, KeyframesCarryAFreshConfigurationAndSamplesAreAVCC) {
  SyntheticFrameSource source(640, 360, 0.2);
  H264Encoder encoder(640, 360, 2'000'000, 30);
  const auto out = encodeSynthetic(encoder, source, 12, 30, nullptr, {7});
  ASSERT_EQ(out.size(), 12u) << "zero latency: one sample per frame, in order";

  for (std::size_t i = 0; i < out.size(); ++i) {
    const bool key = i == 0 || i == 7;
    EXPECT_EQ(out[i].frame.keyframe, key) << i;
    EXPECT_EQ(out[i].config.has_value(), key) << i;
    EXPECT_EQ(out[i].frame.ptsMicros, static_cast<std::uint64_t>(1'000'000 + i * 1'000'000 / 30));
    // The whole sample splits into 4-byte length-prefixed units; none is a parameter set.
    const auto units = lengthPrefixedUnits(out[i].frame.data, 4);
    ASSERT_FALSE(units.empty()) << i;
    for (ByteView u : units) {
      EXPECT_NE(u[0] & 0x1f, nalTypeSPS);
      EXPECT_NE(u[0] & 0x1f, nalTypePPS);
      if (key && (u[0] & 0x1f) <= 5) {
        EXPECT_EQ(u[0] & 0x1f, 5) << "every slice of a keyframe is IDR";
      }
    }
  }
  const Message::VideoConfig& c = *out[0].config;
  EXPECT_EQ(c.codec, 1);
  EXPECT_EQ(c.width, 640u);
  EXPECT_EQ(c.height, 360u);
  EXPECT_EQ(c.nalLength, 4);
  ASSERT_EQ(c.parameterSets.size(), 2u);
  EXPECT_EQ(c.parameterSets[0][0] & 0x1f, nalTypeSPS);
  EXPECT_EQ(c.parameterSets[0][1], 100) << "High profile";
  EXPECT_EQ(c.parameterSets[1][0] & 0x1f, nalTypePPS);
  EXPECT_EQ(*out[7].config, c);
}

TEST(H264Encoder, DecodesCloseToTheSourceAtBalanced) {
  const QualityPreset& p = preset(Quality::balanced);
  SyntheticFrameSource source(1920, 1080, 0.25);
  H264Encoder encoder(1920, 1080, p.h264Bitrate, p.h264Fps);
  std::vector<std::shared_ptr<const I420Frame>> sources;
  const auto out = encodeSynthetic(encoder, source, 30, p.h264Fps, &sources);
  ASSERT_EQ(out.size(), sources.size());
  ASSERT_TRUE(out[0].config);

  // The rate control starts cautiously on the first keyframe and refines the still parts after it:
  // the stream as a whole must be well above 30 dB and no single picture broken.
  test::H264TestDecoder decoder(*out[0].config);
  double sum = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto pictures = decoder.decode(out[i].frame);
    ASSERT_EQ(pictures.size(), 1u) << i;
    ASSERT_EQ(pictures[0]->width, 1920);
    const double psnr = test::lumaPsnr(*sources[i], *pictures[0]);
    EXPECT_GT(psnr, 27.0) << "frame " << i;
    sum += psnr;
  }
  EXPECT_GT(sum / static_cast<double>(out.size()), 30.0);
}

// The session spaces pictures out on slow paths: the stream still carries the rate it was given, not that
// rate's share of the frames that no longer come.
TEST(H264Encoder, KeepsItsBitRateWhenFramesComeSlowerThanOpenedFor) {
  constexpr int bitrate = 200'000, seconds = 4;
  const auto bitsPerSecond = [&](int fps) {
    SyntheticFrameSource source(640, 360, 1.0);
    H264Encoder encoder(640, 360, bitrate, 30);
    encoder.setBitrate(bitrate, bitrate / 4, fps);
    std::size_t bytes = 0;
    const auto out = encodeSynthetic(encoder, source, seconds * fps, fps);
    for (std::size_t i = 1; i < out.size(); ++i) bytes += out[i].frame.data.size();  // past the first keyframe
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

}  // namespace
}  // namespace pellora
