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

// The geometry on its own (the desktop process test clicks the centre and the left edge); the widget that
// applies it, counts clicks and throttles motion, below.
struct Landing {
  double viewWidth, viewHeight, videoWidth, videoHeight, x, y;
  NormalisedPoint expected;
};

TEST(ScreenMappingTest, PointsLandOnTheFittedPictureClampedToItsEdges) {
  const Landing cases[] = {
      {1000, 1000, 1920, 1080, 0, 218.75, {0, 0}},            // the picture's corners, below and above the bars
      {1000, 1000, 1920, 1080, 1000, 781.25, {1, 1}},
      {1000, 1000, 1920, 1080, 250, 10, {0.25f, 0}},          // a bar clamps to the nearest edge, x stays
      {1000, 400, 1920, 1080, 500, 200, {0.5f, 0.5f}},        // bars left and right
      {1000, 500, 1000, 1000, 100, 125, {0, 0.25f}},
      {800, 600, 0, 1080, 200, 450, {0.25f, 0.75f}},          // no picture size yet: the whole view
      {0, 0, 0, 0, 0, 0, {0, 0}},                             // an empty view never produces NaN
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.viewWidth << "x" << c.viewHeight << " at " << c.x << "," << c.y);
    EXPECT_EQ(normalise(c.x, c.y, contentRect(c.viewWidth, c.viewHeight, c.videoWidth, c.videoHeight)), c.expected);
  }
}

struct Move {
  float x, y;
  bool operator==(const Move&) const = default;
};
struct Button {
  MouseButton button;
  bool down;
  int clicks;
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
  void mouseButton(MouseButton button, bool down, std::uint8_t clicks, float, float) override {
    sent.push_back(Button{button, down, clicks});
  }
  void scroll(float dx, float dy) override { sent.push_back(Scroll{dx, dy}); }
  void key(std::uint16_t usage, bool down) override { sent.push_back(Key{usage, down}); }
  void releaseKeys() override { sent.push_back(Release{}); }
};

// Where a click lands on the host's screen is the end-to-end desktop test's; here, what the widget sends.
class RemoteScreenTest : public testing::Test {
 protected:
  RemoteScreenTest() : screen(sink, input) {
    screen.resize(1000, 1000);
    screen.setVideoSize(1920, 1080);
    screen.setClock([this] { return now; });
  }

  void activate(QWidget& window) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
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

TEST_F(RemoteScreenTest, ClicksCountMotionIsThrottledAndWheelsScaled) {
  // Motion over a window in the background stays here.
  QWidget other;
  activate(other);
  screen.show();
  mouse(QEvent::MouseMove, {100, 500});
  EXPECT_TRUE(input->sent.empty());
  activate(screen);

  mouse(QEvent::MouseButtonPress, {500, 500}, Qt::LeftButton);
  mouse(QEvent::MouseButtonRelease, {500, 500}, Qt::LeftButton);
  now += 100ms;
  mouse(QEvent::MouseButtonDblClick, {500, 500}, Qt::LeftButton);
  now += 2s;
  mouse(QEvent::MouseButtonPress, {250, 500}, Qt::RightButton);
  mouse(QEvent::MouseButtonRelease, {250, 500}, Qt::BackButton);  // other buttons are the middle one
  // Motion goes at most once in more than 8 ms, measured from the last motion sent.
  mouse(QEvent::MouseMove, {0, 500});
  now += 8ms;
  mouse(QEvent::MouseMove, {100, 500});
  now += 2ms;
  mouse(QEvent::MouseMove, {1000, 500});
  QWheelEvent notch({500, 500}, {500, 500}, {}, {0, -120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(&screen, &notch);
  QWheelEvent pixels({500, 500}, {500, 500}, {3, -7}, {0, -120}, Qt::NoButton, Qt::NoModifier, Qt::ScrollUpdate, false);
  QApplication::sendEvent(&screen, &pixels);
  EXPECT_EQ(input->sent, (std::vector<Sent>{Button{MouseButton::left, true, 1}, Button{MouseButton::left, false, 1},
                                            Button{MouseButton::left, true, 2}, Button{MouseButton::right, true, 1},
                                            Button{MouseButton::middle, false, 1}, Move{0, 0.5f}, Move{1, 0.5f},
                                            Scroll{0, -12}, Scroll{3, -7}}));
}

TEST_F(RemoteScreenTest, KeysGoByTheirX11CodeAndFocusLossReleasesThem) {
  // The app's shortcuts do not take keys from the screen.
  EXPECT_TRUE(key(QEvent::ShortcutOverride, 24 + 8));
  EXPECT_TRUE(key(QEvent::KeyPress, 62));          // right Shift (evdev 54)
  EXPECT_TRUE(key(QEvent::KeyPress, 38));          // A (evdev 30)
  EXPECT_TRUE(key(QEvent::KeyRelease, 38, true));  // auto-repeat: the key stays down...
  EXPECT_TRUE(key(QEvent::KeyPress, 38, true));    // ...and presses again
  EXPECT_TRUE(key(QEvent::KeyRelease, 38));
  EXPECT_TRUE(key(QEvent::KeyPress, 66));          // Caps Lock comes as a press like any key
  key(QEvent::KeyPress, 0);                        // no key code: nothing
  QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QApplication::sendEvent(&screen, &out);
  EXPECT_EQ(input->sent, (std::vector<Sent>{Key{0xE5, true}, Key{0x04, true}, Key{0x04, true}, Key{0x04, false},
                                            Key{0x39, true}, Release{}}));
}

}  // namespace
}  // namespace pellora::ui
