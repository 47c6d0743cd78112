#include "ui/screen_mapping.h"

#include <gtest/gtest.h>

namespace pellora::ui {
namespace {

using namespace std::chrono_literals;

TEST(ScreenMappingTest, PictureIsFittedCentredAndLetterboxed) {
  EXPECT_EQ(contentRect(1000, 1000, 1920, 1080), (RectF{0, 218.75, 1000, 562.5}));
  const RectF wide = contentRect(1000, 400, 1920, 1080);
  EXPECT_NEAR(wide.width, 711.11, 0.01);
  EXPECT_NEAR(wide.height, 400, 1e-9);
  EXPECT_NEAR(wide.x, (1000 - wide.width) / 2, 1e-9);
  EXPECT_EQ(wide.y, 0);
  // No picture size yet: the whole view.
  EXPECT_EQ(contentRect(800, 600, 0, 1080), (RectF{0, 0, 800, 600}));
  EXPECT_EQ(contentRect(800, 600, 1920, -1), (RectF{0, 0, 800, 600}));
}

TEST(ScreenMappingTest, PositionsAreNormalisedAndClampedToThePicture) {
  const RectF content = contentRect(1000, 1000, 1920, 1080);
  EXPECT_EQ(normalise(500, 500, content), (NormalisedPoint{0.5f, 0.5f}));
  EXPECT_EQ(normalise(0, 218.75, content), (NormalisedPoint{0, 0}));
  EXPECT_EQ(normalise(1000, 781.25, content), (NormalisedPoint{1, 1}));
  // The bars above and below clamp to the nearest edge; x stays where it is.
  EXPECT_EQ(normalise(250, 10, content), (NormalisedPoint{0.25f, 0}));
  EXPECT_EQ(normalise(750, 990, content), (NormalisedPoint{0.75f, 1}));
  // A bar on the left: x is 0, y is the click's height within the picture.
  const RectF tall = contentRect(1000, 500, 1000, 1000);  // x 250...750
  EXPECT_EQ(normalise(100, 125, tall), (NormalisedPoint{0, 0.25f}));
  EXPECT_EQ(normalise(-40, 900, tall), (NormalisedPoint{0, 1}));
  // An empty view never produces NaN.
  EXPECT_EQ(normalise(0, 0, RectF{0, 0, 0, 0}), (NormalisedPoint{0, 0}));
}

TEST(ScreenMappingTest, MotionIsSentAtMostOncePer8Milliseconds) {
  MotionThrottle throttle;
  const auto t0 = MotionThrottle::Clock::time_point{} + 1h;
  EXPECT_TRUE(throttle.admit(t0));
  EXPECT_FALSE(throttle.admit(t0 + 5ms));
  EXPECT_FALSE(throttle.admit(t0 + 8ms));  // "more than" 8 ms
  EXPECT_TRUE(throttle.admit(t0 + 10ms));
  // Dropped motion does not move the reference: 10 + 9 ms goes.
  EXPECT_FALSE(throttle.admit(t0 + 15ms));
  EXPECT_TRUE(throttle.admit(t0 + 19ms));
}

TEST(ScreenMappingTest, ClickCountsAreClampedAndCountedAcrossPresses) {
  EXPECT_EQ(clampClicks(-3), 1);
  EXPECT_EQ(clampClicks(0), 1);
  EXPECT_EQ(clampClicks(3), 3);
  EXPECT_EQ(clampClicks(255), 255);
  EXPECT_EQ(clampClicks(256), 255);

  ClickCounter counter(400ms, 4);
  const auto t0 = ClickCounter::Clock::time_point{} + 1h;
  EXPECT_EQ(counter.press(1, 10, 10, t0), 1);
  EXPECT_EQ(counter.press(1, 11, 12, t0 + 200ms), 2);
  EXPECT_EQ(counter.press(1, 10, 10, t0 + 400ms), 3);
  EXPECT_EQ(counter.press(1, 10, 10, t0 + 900ms), 1);   // too late
  EXPECT_EQ(counter.press(2, 10, 10, t0 + 1000ms), 1);  // another button
  EXPECT_EQ(counter.press(2, 30, 10, t0 + 1100ms), 1);  // too far
}

}  // namespace
}  // namespace pellora::ui
