#include "ui/remote_screen.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>
#include <variant>

#include "ui/screen_mapping.h"

namespace pellora::ui {
namespace {

using namespace std::chrono_literals;

// The geometry, throttling and click counting on their own; the widget that applies them below.
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

struct Move {
  float x, y;
  bool operator==(const Move&) const = default;
};
struct Button {
  MouseButton button;
  bool down;
  int clicks;
  float x, y;
  bool operator==(const Button&) const = default;
};
struct Scroll {
  float dx, dy;
  bool operator==(const Scroll&) const = default;
};
struct Key {
  int usage;
  bool down;
  bool operator==(const Key&) const = default;
};
struct Release {
  bool operator==(const Release&) const = default;
};
using Sent = std::variant<Move, Button, Scroll, Key, Release>;

class RecordingInput final : public RemoteInput {
 public:
  std::vector<Sent> sent;
  void mouseMove(float x, float y) override { sent.push_back(Move{x, y}); }
  void mouseButton(MouseButton button, bool down, std::uint8_t clicks, float x, float y) override {
    sent.push_back(Button{button, down, clicks, x, y});
  }
  void scroll(float dx, float dy) override { sent.push_back(Scroll{dx, dy}); }
  void key(std::uint16_t usage, bool down) override { sent.push_back(Key{usage, down}); }
  void releaseKeys() override { sent.push_back(Release{}); }
};

class RemoteScreenTest : public testing::Test {
 protected:
  RemoteScreenTest() : screen(sink, input) {
    screen.resize(1000, 1000);
    screen.setVideoSize(1920, 1080);
    screen.setClock([this] { return now; });
  }

  void activate() {
    screen.show();
    screen.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&screen));
  }
  void mouse(QEvent::Type type, QPointF at, Qt::MouseButton button = Qt::NoButton) {
    QMouseEvent event(type, at, screen.mapToGlobal(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(&screen, &event);
  }
  bool key(QEvent::Type type, quint32 x11Code, bool autoRepeat = false) {
    QKeyEvent event(type, Qt::Key_unknown, Qt::NoModifier, x11Code, 0, 0, {}, autoRepeat);
    event.setAccepted(false);
    QApplication::sendEvent(&screen, &event);
    return event.isAccepted();
  }

  std::shared_ptr<FrameSink> sink = std::make_shared<FrameSink>();
  std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
  MotionThrottle::Clock::time_point now = MotionThrottle::Clock::time_point{} + 1h;
  RemoteScreen screen;
};

// How clicks are counted and positions clamped is the screen mapping's own test; here, that the widget uses it.
TEST_F(RemoteScreenTest, ClicksLandOnThePictureWithTheirCount) {
  mouse(QEvent::MouseButtonPress, {500, 500}, Qt::LeftButton);
  mouse(QEvent::MouseButtonRelease, {500, 500}, Qt::LeftButton);
  now += 100ms;
  mouse(QEvent::MouseButtonDblClick, {500, 500}, Qt::LeftButton);
  mouse(QEvent::MouseButtonRelease, {500, 500}, Qt::LeftButton);
  // The bar above the picture clamps to its top edge; other buttons map to right and middle.
  now += 2s;
  mouse(QEvent::MouseButtonPress, {250, 100}, Qt::RightButton);
  mouse(QEvent::MouseButtonRelease, {250, 100}, Qt::BackButton);
  EXPECT_EQ(input->sent, (std::vector<Sent>{
                             Button{MouseButton::left, true, 1, 0.5f, 0.5f}, Button{MouseButton::left, false, 1, 0.5f, 0.5f},
                             Button{MouseButton::left, true, 2, 0.5f, 0.5f}, Button{MouseButton::left, false, 2, 0.5f, 0.5f},
                             Button{MouseButton::right, true, 1, 0.25f, 0}, Button{MouseButton::middle, false, 1, 0.25f, 0}}));
}

TEST_F(RemoteScreenTest, MotionIsThrottledAndWheelsScaled) {
  activate();
  mouse(QEvent::MouseMove, {0, 500});
  now += 5ms;
  mouse(QEvent::MouseMove, {100, 500});
  now += 5ms;
  mouse(QEvent::MouseMove, {1000, 500});
  QWheelEvent notch({500, 500}, {500, 500}, {}, {0, -120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(&screen, &notch);
  QWheelEvent pixels({500, 500}, {500, 500}, {3, -7}, {0, -120}, Qt::NoButton, Qt::NoModifier, Qt::ScrollUpdate, false);
  QApplication::sendEvent(&screen, &pixels);
  EXPECT_EQ(input->sent, (std::vector<Sent>{Move{0, 0.5f}, Move{1, 0.5f}, Scroll{0, -12}, Scroll{3, -7}}));
}

TEST_F(RemoteScreenTest, MotionOverAWindowInTheBackgroundStaysHere) {
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  screen.show();
  mouse(QEvent::MouseMove, {100, 500});
  EXPECT_TRUE(input->sent.empty());
  activate();
  now += 10ms;
  mouse(QEvent::MouseMove, {500, 500});
  EXPECT_EQ(input->sent, (std::vector<Sent>{Move{0.5f, 0.5f}}));
}

TEST_F(RemoteScreenTest, KeysGoByTheirX11CodeAndFocusLossReleasesThem) {
  // The app's shortcuts do not take keys from the screen.
  EXPECT_TRUE(key(QEvent::ShortcutOverride, 24 + 8));
  EXPECT_TRUE(key(QEvent::KeyPress, 62));        // right Shift (evdev 54)
  EXPECT_TRUE(key(QEvent::KeyPress, 38));        // A (evdev 30)
  EXPECT_TRUE(key(QEvent::KeyRelease, 38, true));  // auto-repeat: the key stays down...
  EXPECT_TRUE(key(QEvent::KeyPress, 38, true));    // ...and presses again
  EXPECT_TRUE(key(QEvent::KeyRelease, 38));
  EXPECT_TRUE(key(QEvent::KeyPress, 66));        // Caps Lock comes as a press like any key
  key(QEvent::KeyPress, 0);                      // no key code: nothing
  QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QApplication::sendEvent(&screen, &out);
  EXPECT_EQ(input->sent, (std::vector<Sent>{Key{0xE5, true}, Key{0x04, true}, Key{0x04, true}, Key{0x04, false},
                                            Key{0x39, true}, Release{}}));
}

TEST_F(RemoteScreenTest, RepaintTakesTheNewestPictureOnce) {
  auto picture = std::make_shared<Picture>();
  picture->width = 192;
  picture->height = 108;
  picture->stride = 192 * 4;
  picture->bgra.assign(static_cast<std::size_t>(picture->stride) * 108, 0);
  for (std::size_t i = 0; i < picture->bgra.size(); i += 4) picture->bgra[i + 2] = 0xFF;  // red
  auto older = std::make_shared<Picture>(*picture);
  sink->put(older);
  sink->put(picture);
  const QImage shot = screen.grab().toImage();
  EXPECT_EQ(sink->take(), nullptr);  // taken by the paint
  EXPECT_EQ(shot.pixelColor(500, 500), QColor(255, 0, 0));
  EXPECT_EQ(shot.pixelColor(500, 100), QColor(0, 0, 0));  // letterbox
  // A repaint without a new picture keeps showing the last one.
  EXPECT_EQ(screen.grab().toImage().pixelColor(500, 500), QColor(255, 0, 0));
}

}  // namespace
}  // namespace pellora::ui
