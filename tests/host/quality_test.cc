#include "host/quality.h"

#include <gtest/gtest.h>

#include "host/capture_size.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

namespace json = boost::json;

TEST(Quality, NamesLabelsAndBytes) {
  const char* raw[] = {"low", "balanced", "high"};
  const char* labels[] = {"Düşük (yavaş ağ)", "Dengeli", "Yüksek (yerel ağ)"};
  for (std::size_t i = 0; i < allQualities.size(); ++i) {
    const Quality q = allQualities[i];
    EXPECT_EQ(toByte(q), i);
    EXPECT_EQ(rawValue(q), raw[i]);
    EXPECT_EQ(label(q), labels[i]);
    EXPECT_EQ(qualityFromRawValue(raw[i]), q);
    EXPECT_EQ(qualityFromByte(static_cast<std::uint8_t>(i)), q);
  }
  EXPECT_EQ(qualityFromRawValue("High"), std::nullopt);
  EXPECT_EQ(qualityFromRawValue(""), std::nullopt);
  EXPECT_EQ(qualityFromByte(3), Quality::high);
  EXPECT_EQ(qualityFromByte(255), Quality::high);
}

TEST(Quality, PresetsAndBudgets) {
  struct Row {
    int bitrate, h264Fps, maxDimension;
    double jpegQuality;
    int channels, audioBitrate;
    std::int64_t videoBudget, audioBudget;
  };
  const Row rows[] = {{3'000'000, 15, 1440, 0.45, 1, 48'000, 262'144, 524'288},
                      {8'000'000, 30, 1920, 0.6, 2, 96'000, 500'000, 1'000'000},
                      {20'000'000, 60, 2880, 0.75, 2, 96'000, 1'250'000, 2'500'000}};
  for (Quality q : allQualities) {
    const Row& r = rows[toByte(q)];
    const QualityPreset& p = preset(q);
    EXPECT_EQ(p.h264Bitrate, r.bitrate);
    EXPECT_EQ(captureFps(q, Codec::h264), r.h264Fps);
    EXPECT_EQ(captureFps(q, Codec::jpegRegions), 15);
    EXPECT_EQ(p.maxDimension, r.maxDimension);
    EXPECT_EQ(p.jpegQuality, r.jpegQuality);
    EXPECT_EQ(p.audioChannels, r.channels);
    EXPECT_EQ(p.audioBitrate, r.audioBitrate);
    EXPECT_EQ(videoBudget(q, Codec::h264), r.videoBudget);
    EXPECT_EQ(audioBudget(q, Codec::h264), r.audioBudget);
    EXPECT_EQ(videoBudget(q, Codec::jpegRegions), 3'145'728);
    EXPECT_EQ(audioBudget(q, Codec::jpegRegions), 6'291'456);
  }
}

TEST(Quality, CodecChoiceVectors) {
  for (const auto& v : test::wireVectors().at("codecChoice").as_array()) {
    const auto& o = v.as_object();
    const auto codecs = json::value_to<std::vector<std::uint8_t>>(o.at("codecs"));
    EXPECT_EQ(static_cast<int>(chooseCodec(codecs)), json::value_to<int>(o.at("chosen"))) << json::serialize(v);
  }
}

TEST(CaptureSize, ScalesDownToTheLargestDimensionAndRoundsToEvenSides) {
  EXPECT_EQ(outputSize(5120, 3200, 1920), (PixelSize{1920, 1200}));
  EXPECT_EQ(outputSize(5120, 3200, 2880), (PixelSize{2880, 1800}));
  EXPECT_EQ(outputSize(1366, 768, 1440), (PixelSize{1366, 768}));   // never enlarged
  EXPECT_EQ(outputSize(1365, 767, 1440), (PixelSize{1366, 768}));   // halves away from zero
  EXPECT_EQ(outputSize(1920, 1080, 1440), (PixelSize{1440, 810}));
  EXPECT_EQ(outputSize(1080, 1920, 1440), (PixelSize{810, 1440}));  // portrait: the height is the larger side
}

TEST(CaptureSize, DegenerateInputsStillGiveAnEncodableSize) {
  EXPECT_EQ(outputSize(100'000, 1, 1440), (PixelSize{1440, 2}));  // would round to 0
  EXPECT_EQ(outputSize(0, 0, 1440), (PixelSize{2, 2}));
  EXPECT_EQ(outputSize(1365, 767, 0), (PixelSize{1366, 768}));   // no limit
}

}  // namespace
}  // namespace pellora
