#include "core/quality.h"

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

TEST(Quality, BudgetsFollowTheRates) {
  const std::int64_t video[] = {262'144, 500'000, 1'250'000}, audio[] = {524'288, 1'000'000, 2'500'000};
  for (Quality q : allQualities) {
    EXPECT_EQ(videoBudget(q, Codec::h264), video[toByte(q)]);
    EXPECT_EQ(audioBudget(q, Codec::h264), audio[toByte(q)]);
    EXPECT_EQ(videoBudget(q, Codec::jpegRegions), 3'145'728);
    EXPECT_EQ(audioBudget(q, Codec::jpegRegions), 6'291'456);
    EXPECT_EQ(captureFps(q, Codec::jpegRegions), 15);
  }
  EXPECT_EQ(captureFps(Quality::high, Codec::h264), 60);
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
