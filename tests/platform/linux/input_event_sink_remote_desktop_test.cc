#include "platform/linux/input_event_sink_remote_desktop.h"

#include <gtest/gtest.h>

#include "capture_checks.h"
#include "platform/linux/screen_capturer_pipewire.h"
#include "platform/linux/mutter_remote_desktop.h"
#include "wayland_test_session.h"

namespace pellora {
namespace {

using test::Frames;
using test::WaylandTestClient;

TEST(InputEventSinkRemoteDesktopSteps, WholeStepsOfTwelveUnitsKeepTheRemainder) {
  std::int64_t remainder = 0;
  EXPECT_EQ(InputEventSinkRemoteDesktop::takeSteps(remainder, 5), 0);
  EXPECT_EQ(InputEventSinkRemoteDesktop::takeSteps(remainder, 20), 2);  // 25 units
  EXPECT_EQ(remainder, 1);
  EXPECT_EQ(InputEventSinkRemoteDesktop::takeSteps(remainder, -13), -1);  // -12: toward zero, sign kept
  EXPECT_EQ(remainder, 0);
  EXPECT_EQ(InputEventSinkRemoteDesktop::takeSteps(remainder, INT32_MIN), -InputEventSinkRemoteDesktop::maxStepsPerScroll);
}

class InputEventSinkRemoteDesktopTest : public test::WaylandSessionTest {};

MouseEvent mouse(MouseEvent::Type type, double x, double y, int button = MouseEvent::leftButton) {
  MouseEvent e;
  e.type = type;
  e.location = {x, y};
  e.button = button;
  return e;
}

// Waits until clicks reach the test client's window where they are posted. The client reports itself
// ready once it has painted, but the compositor then still grows the new window out of a smaller one
// around the screen's centre, and picks the surface under the pointer only on its next frame: until then a
// click goes nowhere, or lands on the window at another spot. Clicks away from the centre, each at a spot of
// its own, until one is reported exactly where it was posted; events arrive in order, so nothing from these
// clicks follows that one on the client's output.
bool waitUntilClicksLandInPlace(InputEventSink& sink, WaylandTestClient& client) {
  using T = MouseEvent::Type;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int x = 100; std::chrono::steady_clock::now() < deadline; ++x) {
    sink.postMouse(mouse(T::moved, x, 100));
    sink.postMouse(mouse(T::leftDown, x, 100));
    sink.postMouse(mouse(T::leftUp, x, 100));
    // The short wait only decides when to click again.
    if (client.next("release 1 " + std::to_string(x) + " 100", std::chrono::milliseconds(500))) return true;
  }
  return false;
}

TEST_F(InputEventSinkRemoteDesktopTest, PointerWheelAndKeysReachTheClientAndThePointerIsDrawn) {
  auto desktop = std::make_shared<MutterDesktop>();
  InputEventSinkRemoteDesktop sink(desktop);
  EXPECT_EQ(sink.mainDisplayBounds(), (PixelRect{0, 0, 1280, 720}));
  using T = MouseEvent::Type;
  sink.postMouse(mouse(T::moved, 10, 10));  // no capture yet: dropped

  ScreenCapturerPipeWire capturer(desktop);
  Frames frames(capturer);
  capturer.start(0, 1920, 30);
  ASSERT_TRUE(frames.waitFor([](const I420Frame&) { return true; }));
  // The compositor makes its virtual keyboard on the first key. A headless session has no other one, and
  // a window gets the keyboard focus only when it appears after a keyboard: press Shift before the client.
  const std::uint16_t shift = *sink.keyCode(0xE1), a = *sink.keyCode(0x04);
  EXPECT_EQ(shift, 42);
  EXPECT_EQ(a, 30);
  sink.postKey(shift, true, ModifierFlags::shift);
  sink.postKey(shift, false, 0);
  WaylandTestClient client;
  ASSERT_TRUE(waitUntilClicksLandInPlace(sink, client));

  // The compositor hands pointer motion to clients with its next frame or button: each position is checked
  // through the button event that follows it.
  sink.postMouse(mouse(T::moved, 300, 200));
  sink.postMouse(mouse(T::leftDown, 300, 200));
  sink.postMouse(mouse(T::leftDragged, 340, 230));
  sink.postMouse(mouse(T::leftUp, 340, 230));
  EXPECT_EQ(client.next("press"), "press 1 300 200");
  EXPECT_EQ(client.next("release"), "release 1 340 230");  // a drag
  sink.postMouse(mouse(T::rightDown, 500, 400, MouseEvent::rightButton));
  sink.postMouse(mouse(T::rightUp, 500, 400, MouseEvent::rightButton));
  EXPECT_EQ(client.next("press"), "press 2 500 400");
  sink.postMouse(mouse(T::otherDown, 500, 400, MouseEvent::centerButton));
  sink.postMouse(mouse(T::otherUp, 500, 400, MouseEvent::centerButton));
  EXPECT_EQ(client.next("press"), "press 4 500 400");
  // Outside the stream: held at its edge.
  sink.postMouse(mouse(T::leftDown, 5000, -30));
  sink.postMouse(mouse(T::leftUp, 5000, -30));
  EXPECT_EQ(client.next("press"), "press 1 1279 0");

  // Two steps up (24 units), then one to the left: Qt reports 120 a notch, up and left positive.
  sink.postScroll(20, 0);
  sink.postScroll(4, 0);
  int up = 0;
  while (up < 240) {
    auto line = client.next("wheel 0");
    ASSERT_TRUE(line) << "the wheel steps did not all arrive";
    up += std::stoi(line->substr(line->rfind(' ') + 1));
  }
  EXPECT_EQ(up, 240);
  sink.postScroll(0, 12);
  auto left = client.next("wheel");
  ASSERT_TRUE(left);
  EXPECT_GT(std::stoi(left->substr(6)), 0) << *left;

  // Shift+A: the modifier arrives with the key (Qt's ShiftModifier).
  sink.postKey(shift, true, ModifierFlags::shift);
  sink.postKey(a, true, ModifierFlags::shift);
  sink.postKey(a, false, ModifierFlags::shift);
  sink.postKey(shift, false, 0);
  EXPECT_EQ(client.next("key 30"), "key 30 down " + std::to_string(0x02000000));
  EXPECT_EQ(client.next("key 30"), "key 30 up " + std::to_string(0x02000000));
  EXPECT_EQ(client.next("key 42 up"), "key 42 up 0");

  // The pointer's picture is drawn into the frames where the pointer is (over the black window). GNOME 43
  // may drop an update that comes too soon after the previous frame, and sends the pointer's picture only
  // when it changes: the pointer moves and changes its shape until a frame shows it.
  const auto pointerDrawn = [](const I420Frame& f) {
    for (int y = 300; y < 320; ++y) {
      for (int x = 700; x < 724; ++x) {
        if (f.y[static_cast<std::size_t>(y) * f.strideY + x] > 100) return true;
      }
    }
    return false;
  };
  bool drawn = false;
  for (int attempt = 0; attempt < 10 && !drawn; ++attempt) {
    client.setCursor(attempt % 2 == 0 ? 13 : 0);  // Qt's pointing hand, then the arrow
    sink.postMouse(mouse(T::leftDown, 700 + attempt, 300));
    sink.postMouse(mouse(T::leftUp, 700 + attempt, 300));
    EXPECT_TRUE(client.next("release 1 " + std::to_string(700 + attempt) + " 300"));
    drawn = frames.waitFor(pointerDrawn, nullptr, std::chrono::seconds(1)).has_value();
  }
  EXPECT_TRUE(drawn) << "no frame showed the pointer";
}

}  // namespace
}  // namespace pellora
