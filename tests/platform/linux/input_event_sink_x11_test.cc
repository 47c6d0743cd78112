#include "platform/linux/input_event_sink_x11.h"

#include <gtest/gtest.h>

#include "host/input_injector.h"
#include "support/xvfb.h"
#include "x11_test_window.h"

namespace pellora {
namespace {

using test::Event;

// The injector over a real XTest sink, against a private server with a window that records events.
class InputEventSinkX11Test : public ::testing::Test {
 protected:
  InputEventSinkX11Test() : xvfb(800, 600), window(xvfb.display()) {
    auto x11 = std::make_unique<InputEventSinkX11>(xvfb.display());
    sink = x11.get();
    injector = std::make_unique<InputInjector>(std::move(x11));
    window.open({0, 0, 800, 600});
  }

  template <typename T>
  std::unique_ptr<T, test::FreeEvent> next(std::uint8_t type) {
    sink->sync();
    Event e = window.waitFor(type);
    return std::unique_ptr<T, test::FreeEvent>(reinterpret_cast<T*>(e.release()));
  }
  void button(std::uint8_t raw, bool down, float x = 0.5f, float y = 0.5f) {
    injector->handle(Message::MouseButtonMsg{raw, down, 1, x, y});
  }
  void key(std::uint16_t usage, bool down) { injector->handle(Message::Key{usage, down}); }

  test::Xvfb xvfb;
  test::X11TestWindow window;
  InputEventSinkX11* sink = nullptr;
  std::unique_ptr<InputInjector> injector;
};

TEST_F(InputEventSinkX11Test, ClicksAndDragsReachTheWindow) {
  button(0, true, 0.1f, 0.1f);
  auto press = next<xcb_button_press_event_t>(XCB_BUTTON_PRESS);
  ASSERT_TRUE(press);
  EXPECT_EQ(press->detail, 1);
  EXPECT_EQ(press->root_x, 79);
  EXPECT_EQ(press->root_y, 59);

  injector->handle(Message::MouseMove{0.5f, 0.5f});
  auto motion = next<xcb_motion_notify_event_t>(XCB_MOTION_NOTIFY);
  ASSERT_TRUE(motion);
  EXPECT_TRUE(motion->state & XCB_BUTTON_MASK_1);  // a drag

  button(0, false);
  auto release = next<xcb_button_release_event_t>(XCB_BUTTON_RELEASE);
  ASSERT_TRUE(release);
  EXPECT_EQ(release->detail, 1);
  EXPECT_EQ(release->root_x, 399);

  button(1, true);
  button(1, false);
  button(2, true);
  button(2, false);
  button(3, true);  // back
  button(3, false);
  for (int detail : {3, 2, 8}) {
    auto p = next<xcb_button_press_event_t>(XCB_BUTTON_PRESS);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->detail, detail);
  }
}

// Key codes reach the server as X keycodes, a held Shift with them; the order in which the injector
// releases keys and the flags it passes are its own tests' business.
TEST_F(InputEventSinkX11Test, KeysArriveAsX11KeycodesWithTheModifierHeld) {
  key(0xE1, true);  // left Shift
  key(4, true);     // A
  auto shift = next<xcb_key_press_event_t>(XCB_KEY_PRESS);
  auto a = next<xcb_key_press_event_t>(XCB_KEY_PRESS);
  ASSERT_TRUE(shift && a);
  EXPECT_EQ(shift->detail, 50);
  EXPECT_EQ(a->detail, 38);
  EXPECT_EQ(a->state & XCB_MOD_MASK_SHIFT, XCB_MOD_MASK_SHIFT);

  injector->releaseAll();
  auto aUp = next<xcb_key_release_event_t>(XCB_KEY_RELEASE);
  ASSERT_TRUE(aUp);
  EXPECT_EQ(aUp->detail, 38);

  key(50, true);  // Non-US # maps to the backslash key here
  auto hash = next<xcb_key_press_event_t>(XCB_KEY_PRESS);
  ASSERT_TRUE(hash);
  EXPECT_EQ(hash->detail, 43 + 8);
}

TEST_F(InputEventSinkX11Test, ScrollUnitsBecomeWheelClicks) {
  injector->handle(Message::Scroll{0, 6});
  injector->handle(Message::Scroll{0, 6.5f});  // 12 units: one click up, 0.5 kept by the injector
  injector->handle(Message::Scroll{0, -30});   // -29.5 -> -29 units: two clicks down, -5 kept here
  injector->handle(Message::Scroll{24, 0});    // two clicks left
  injector->handle(Message::Scroll{-12, 0});   // one click right
  for (int detail : {4, 5, 5, 6, 6, 7}) {
    auto p = next<xcb_button_press_event_t>(XCB_BUTTON_PRESS);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->detail, detail);
  }
  injector->handle(Message::Scroll{0, -7});  // -5 - 7 = -12: one more click down
  auto p = next<xcb_button_press_event_t>(XCB_BUTTON_PRESS);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->detail, 5);

  injector->handle(Message::Scroll{0, 2e9f});  // a huge amount is cut, not replayed for hours
  injector->handle(Message::Scroll{-12, 0});   // a marker after it
  int clicks = 0;
  for (;;) {
    auto press = next<xcb_button_press_event_t>(XCB_BUTTON_PRESS);
    ASSERT_TRUE(press);
    if (press->detail == 7) break;
    ++clicks;
  }
  EXPECT_EQ(clicks, InputEventSinkX11::maxClicksPerScroll);
}

}  // namespace
}  // namespace pellora
