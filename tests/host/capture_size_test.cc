#include "host/capture_size.h"

#include <gtest/gtest.h>

namespace pellora {
namespace {

TEST(CaptureSize, ScalesDownToTheLargestDimensionWithEvenSides) {
  EXPECT_EQ(outputSize(5120, 3200, 1920), std::make_pair(1920, 1200));
  EXPECT_EQ(outputSize(5120, 3200, 2880), std::make_pair(2880, 1800));
  EXPECT_EQ(outputSize(3200, 5120, 1920), std::make_pair(1200, 1920));  // portrait
  EXPECT_EQ(outputSize(1366, 768, 1440), std::make_pair(1366, 768));    // never enlarged
  EXPECT_EQ(outputSize(1365, 767, 1440), std::make_pair(1366, 768));    // halves away from zero
  EXPECT_EQ(outputSize(1920, 1080, 1280), std::make_pair(1280, 720));
  EXPECT_EQ(outputSize(1000, 333, 500), std::make_pair(500, 166));  // 166.5 / 2 = 83.25 -> 83
}

}  // namespace
}  // namespace pellora
