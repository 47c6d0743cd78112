#include "host/jpeg_region_encoder.h"

#include <gtest/gtest.h>

#include "host/synthetic_frame_source.h"
#include "media_test_support.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

namespace json = boost::json;

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

TEST(TileRuns, JoinsAlongRowsOnlyAndClipsToTheFrame) {
  using V = std::vector<PixelRect>;
  // One rectangle over two rows and three columns: one run per row, never a block.
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{70, 70, 130, 60}}, 1920, 1080),
            (V{{64, 64, 192, 64}, {64, 128, 192, 64}}));
  // Overlapping changes mark a tile once; touching tiles in a row join.
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{0, 0, 64, 1}, {10, 0, 5, 5}, {64, 0, 1, 1}}, 640, 480), (V{{0, 0, 128, 64}}));
  // Beyond the frame on every side: clipped, and nothing for changes wholly outside.
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{-100, -100, 50, 50}, {700, 10, 10, 10}, {0, 600, 10, 10}}, 640, 480), V{});
  EXPECT_EQ(JPEGRegionEncoder::tileRuns({{600, 440, 500, 500}}, 640, 480), (V{{576, 384, 64, 64}, {576, 448, 64, 32}}));
  // A negative size reaches left and up; a huge one does not overflow.
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

TEST_F(JPEGRegions, FullFlagOrNoChangeListSendsTheWholeFrame) {
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
}

TEST_F(JPEGRegions, RegionsDecodeIntoTheirRectangles) {
  const auto m = encode({{10, 10, 100, 20}, {300, 200, 200, 100}}, false);
  ASSERT_EQ(m.regions.size(), 3u);
  for (const ImageRegion& r : m.regions) {
    const test::GrayImage decoded = test::decodeJpegGray(r.jpeg);
    const PixelRect rect{r.x, r.y, r.width, r.height};
    ASSERT_EQ(decoded.width, rect.width);
    ASSERT_EQ(decoded.height, rect.height);
    EXPECT_LT(test::meanAbsoluteDifference(*frame, rect, decoded), 6.0) << rect.x << "," << rect.y;
  }
}

TEST_F(JPEGRegions, MalformedFramesAreNotRead) {
  auto odd = I420Frame::allocate(63, 64);
  EXPECT_EQ(encoder.encode(*odd, {}, true), std::nullopt);
  auto truncated = std::make_shared<I420Frame>(*frame);
  truncated->v.resize(10);
  EXPECT_EQ(encoder.encode(*truncated, {}, true), std::nullopt);
}

}  // namespace
}  // namespace pellora
