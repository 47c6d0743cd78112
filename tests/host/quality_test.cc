#include "core/quality.h"

#include <gtest/gtest.h>

#include "host/capture_size.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

namespace json = boost::json;

TEST(Quality, UnknownNamesAreRefusedAndBytesAboveHighReadAsHigh) {
  for (Quality q : allQualities) {
    EXPECT_EQ(qualityFromRawValue(rawValue(q)), q);
    EXPECT_EQ(qualityFromByte(toByte(q)), q);
  }
  EXPECT_EQ(qualityFromRawValue("High"), std::nullopt);
  EXPECT_EQ(qualityFromRawValue(""), std::nullopt);
  EXPECT_EQ(qualityFromByte(3), Quality::high);
  EXPECT_EQ(qualityFromByte(255), Quality::high);
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
