#include "platform/linux/screen_capturer_x11.h"

#include <gtest/gtest.h>

#include "core/transport_error.h"
#include "capture_checks.h"
#include "support/xvfb.h"
#include "x11_test_window.h"

namespace pellora {
namespace {

using test::covered;
using test::Frames;
using test::insideLooksLike;
using test::looksLike;
using test::X11TestWindow;
using test::Xvfb;

constexpr std::uint32_t kUnknownDisplay = 0xDEADBEEF;

constexpr std::uint32_t kBlack = 0x000000, kRed = 0xE02010, kGreen = 0x20C040, kBlue = 0x3050F0;

// A private server painted black, the pointer parked at `pointer` (by default in the far corner, out of the
// way of the compared pixels).
struct BlackScreen {
  BlackScreen(int width, int height, std::vector<std::string> args = {}, std::pair<int, int> pointer = {-1, -1})
      : xvfb(width, height, std::move(args)), x(xvfb.display()) {
    x.fill({0, 0, width, height}, kBlack);
    x.warpPointer(pointer.first < 0 ? width - 1 : pointer.first, pointer.second < 0 ? height - 1 : pointer.second);
  }
  std::string display() const { return xvfb.display(); }
  Xvfb xvfb;
  X11TestWindow x;
};

// Capture with and without the extensions it prefers, and scaled to a smaller largest dimension.
struct CaptureCase {
  std::string name;
  std::vector<std::string> serverArguments;
  int width, height, maxDimension;
};

class ScreenCapturerX11Capture : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(ScreenCapturerX11Capture, CapturesDrawnRectanglesAndReportsWhereTheyChanged) {
  const CaptureCase& c = GetParam();
  BlackScreen screen(c.width, c.height, c.serverArguments);
  ScreenCapturerX11 capturer(screen.display());
  Frames frames(capturer);
  const CaptureInfo info = capturer.start(kUnknownDisplay, c.maxDimension, 30);  // unknown: the main (only) one
  const int scale = c.width / info.width;
  EXPECT_EQ(info.width * scale, c.width);
  EXPECT_EQ(info.height * scale, c.height);
  EXPECT_EQ(info.displayBounds, (PixelRect{0, 0, c.width, c.height}));
  const auto scaled = [&](PixelRect r) { return PixelRect{r.x / scale, r.y / scale, r.width / scale, r.height / scale}; };

  auto first = frames.waitFor([](const I420Frame&) { return true; });
  ASSERT_TRUE(first);
  EXPECT_EQ(first->dirty, (std::vector<PixelRect>{{0, 0, info.width, info.height}}));
  EXPECT_TRUE(insideLooksLike(*first->image, scaled({0, 0, 600, 440}), kBlack));

  const PixelRect red{100, 80, 60, 40}, green{301, 201, 37, 29};
  screen.x.fill(red, kRed);
  screen.x.fill(green, kGreen);
  // A change drawn between the damage read and the grab is reported with the next frame, so the frames
  // are taken until both the pixels and the reported rectangles have caught up.
  std::vector<PixelRect> dirty;
  auto drawn = frames.waitFor(
      [&](const I420Frame& f) {
        return insideLooksLike(f, scaled(red), kRed) && insideLooksLike(f, scaled(green), kGreen) &&
               covered(dirty, scaled(red)) && covered(dirty, scaled(green));
      },
      &dirty);
  ASSERT_TRUE(drawn) << "the rectangles never showed up, or were never reported as changed";
  EXPECT_TRUE(looksLike(*drawn->image, (red.x - 3) / scale, (red.y - 3) / scale, kBlack));
  EXPECT_TRUE(looksLike(*drawn->image, 20 / scale, 400 / scale, kBlack));
  EXPECT_GT(drawn->ptsMicros, first->ptsMicros);
  capturer.stop();
}

INSTANTIATE_TEST_SUITE_P(Extensions, ScreenCapturerX11Capture,
                         ::testing::Values(CaptureCase{"AllExtensions", {}, 640, 480, 1920},
                                           CaptureCase{"NoDamage", {"-extension", "DAMAGE"}, 640, 480, 1920},
                                           CaptureCase{"NoShm", {"-extension", "MIT-SHM"}, 640, 480, 1920},
                                           CaptureCase{"ScaledToHalf", {}, 1280, 720, 640}),
                         [](const auto& p) { return p.param.name; });

TEST(ScreenCapturerX11, ListsMonitorsAndCapturesOneThatGoesAway) {
  BlackScreen screen(1280, 720, {}, {0, 0});
  X11TestWindow& x = screen.x;
  ScreenCapturerX11 capturer(screen.display());
  auto displays = capturer.displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].width, 1280);
  EXPECT_EQ(displays[0].height, 720);
  EXPECT_FALSE(displays[0].name.empty());
  EXPECT_NE(displays[0].name.rfind("Ekran ", 0), 0u);  // named after its output

  const std::uint32_t id = x.addMonitor("PELLORA-TEST", {640, 360, 640, 360});
  displays = capturer.displays();
  ASSERT_EQ(displays.size(), 2u);
  const auto added = std::find_if(displays.begin(), displays.end(), [&](auto& d) { return d.id == id; });
  ASSERT_NE(added, displays.end());
  EXPECT_EQ(*added, (DisplayInfo{id, 640, 360, false, "Ekran " + std::to_string(id)}));

  x.fill({700, 400, 50, 50}, kRed);
  Frames frames(capturer);
  const CaptureInfo info = capturer.start(id, 1920, 30);
  EXPECT_EQ(info.displayBounds, (PixelRect{640, 360, 640, 360}));
  EXPECT_EQ(info.width, 640);
  ASSERT_TRUE(frames.waitFor([](const I420Frame& f) { return insideLooksLike(f, {60, 40, 50, 50}, kRed); }));

  x.deleteMonitor(id);
  const auto reason = frames.waitForStop();
  ASSERT_TRUE(reason);
  EXPECT_EQ(*reason, "display removed");
}

TEST(ScreenCapturerX11, DisplayZeroIsTheOneMarkedMain) {
  BlackScreen screen(1280, 720, {}, {0, 0});
  X11TestWindow& x = screen.x;
  ScreenCapturerX11 capturer(screen.display());
  // The list marks exactly one display main, and display 0 (or one that went away) captures that one.
  const auto expectMain = [&](std::uint32_t id, PixelRect bounds) {
    std::vector<std::uint32_t> marked;
    for (const auto& d : capturer.displays())
      if (d.primary) marked.push_back(d.id);
    EXPECT_EQ(marked, std::vector<std::uint32_t>{id});
    for (const std::uint32_t asked : {0u, kUnknownDisplay}) {
      ScreenCapturerX11 capture(screen.display());
      EXPECT_EQ(capture.start(asked, 1920, 30).displayBounds, bounds) << asked;
      capture.stop();
    }
  };
  const std::uint32_t whole = capturer.displays().at(0).id;
  // No monitor is primary, and the server lists the one added first: the one at the origin is main.
  const std::uint32_t side = x.addMonitor("PELLORA-SIDE", {640, 360, 640, 360});
  ASSERT_EQ(capturer.displays().size(), 2u);
  expectMain(whole, {0, 0, 1280, 720});
  x.deleteMonitor(side);
  // A primary monitor is main wherever it is.
  const std::uint32_t primary = x.addMonitor("PELLORA-MAIN", {640, 360, 640, 360}, true);
  expectMain(primary, {640, 360, 640, 360});
}

TEST(ScreenCapturerX11, StopsWhenTheServerGoesAndFailsWithoutOne) {
  auto xvfb = std::make_unique<Xvfb>(320, 240);
  const std::string display = xvfb->display();
  ScreenCapturerX11 capturer(display);
  Frames frames(capturer);
  capturer.start(kUnknownDisplay, 1920, 30);
  ASSERT_TRUE(frames.waitFor([](const I420Frame&) { return true; }));
  xvfb.reset();
  const auto reason = frames.waitForStop();
  ASSERT_TRUE(reason);
  // A server on its way out may first answer with no monitors; either way the capture has ended.
  EXPECT_TRUE(*reason == "X server connection lost" || *reason == "display removed") << *reason;
  capturer.stop();

  // Not the old number: a test running beside this one may already have a new server there.
  ScreenCapturerX11 orphan(test::kAbsentDisplay);
  EXPECT_TRUE(orphan.displays().empty());
  EXPECT_THROW(orphan.start(kUnknownDisplay, 1920, 30), TransportError);
}

TEST(ScreenCapturerX11, StopFromItsOwnCallbackEndsTheCaptureAndNoDisplayNoStart) {
  Xvfb xvfb(320, 240);
  X11TestWindow x(xvfb.display());
  auto capturer = std::make_unique<ScreenCapturerX11>(xvfb.display());
  std::mutex mutex;
  std::condition_variable done;
  int calls = 0;
  capturer->onFrame = [&](const CapturedFrame&) {
    std::lock_guard lock(mutex);
    ++calls;
    capturer->stop();
    done.notify_all();
  };
  capturer->start(kUnknownDisplay, 1920, 60);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(5), [&] { return calls > 0; }));
  }
  // A second capture of the same screen sees two changes in turn; the stopped one, had it gone on, would
  // have been handed them as well.
  ScreenCapturerX11 witness(xvfb.display());
  Frames seen(witness);
  witness.start(kUnknownDisplay, 1920, 60);
  for (const std::uint32_t colour : {kRed, kGreen}) {
    x.fill({0, 0, 100, 100}, colour);
    ASSERT_TRUE(seen.waitFor([&](const I420Frame& f) { return insideLooksLike(f, {0, 0, 100, 100}, colour); }));
  }
  witness.stop();
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 1);
  }

  // Without any display, a capture cannot start.
  x.disableOutputs();
  ScreenCapturerX11 blind(xvfb.display());
  ASSERT_TRUE(blind.displays().empty()) << "the monitor outlived its CRTC";
  try {
    blind.start(kUnknownDisplay, 1920, 30);
    FAIL() << "started without a display";
  } catch (const TransportError& e) {
    EXPECT_EQ(e, TransportError::connectFailed("Ekran bulunamadı"));
  }
}

}  // namespace
}  // namespace pellora
