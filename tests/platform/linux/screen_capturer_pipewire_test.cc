#include "platform/linux/screen_capturer_pipewire.h"

#include <gtest/gtest.h>

#include "capture_checks.h"
#include "core/transport_error.h"
#include "platform/linux/mutter_remote_desktop.h"
#include "support/headless_gnome.h"

namespace pellora {
namespace {

using test::Frames;
using test::HeadlessGnome;

// One headless GNOME session for the whole suite: starting one takes a few seconds.
class WaylandCapture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      gnome_ = std::make_unique<HeadlessGnome>("1280x720");
    } catch (const std::exception& e) {
      skipReason_ = e.what();
    }
  }
  static void TearDownTestSuite() { gnome_.reset(); }
  void SetUp() override {
    if (!gnome_) GTEST_SKIP() << skipReason_;
  }

  static std::unique_ptr<HeadlessGnome> gnome_;
  static std::string skipReason_;
};
std::unique_ptr<HeadlessGnome> WaylandCapture::gnome_;
std::string WaylandCapture::skipReason_;

TEST_F(WaylandCapture, ListsTheCompositorsMonitors) {
  ScreenCapturerPipeWire capturer;
  const std::vector<DisplayInfo> displays = capturer.displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].width, 1280);
  EXPECT_EQ(displays[0].height, 720);
  EXPECT_TRUE(displays[0].primary);
  EXPECT_FALSE(displays[0].name.empty());
}

TEST_F(WaylandCapture, DeliversWholeFramesOfTheOutputSize) {
  for (const auto& [maxDimension, width, height] : {std::tuple{1920, 1280, 720}, std::tuple{640, 640, 360}}) {
    SCOPED_TRACE(maxDimension);
    ScreenCapturerPipeWire capturer;
    Frames frames(capturer);
    const CaptureInfo info = capturer.start(0xDEADBEEF, maxDimension, 30);  // unknown id: the first monitor
    EXPECT_EQ(info.width, width);
    EXPECT_EQ(info.height, height);
    EXPECT_EQ(info.displayBounds, (PixelRect{0, 0, 1280, 720}));
    std::vector<PixelRect> dirty;
    auto frame = frames.waitFor([](const I420Frame&) { return true; }, &dirty);
    ASSERT_TRUE(frame) << "no frame from the screen cast";
    EXPECT_TRUE(frame->image->isWellFormed());
    EXPECT_EQ(frame->image->width, width);
    EXPECT_EQ(frame->image->height, height);
    EXPECT_EQ(dirty, (std::vector<PixelRect>{{0, 0, width, height}}));  // the first frame is whole
    capturer.stop();
  }
}

}  // namespace
}  // namespace pellora
