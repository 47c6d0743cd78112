#include "platform/linux/input_event_sink_x11.h"

#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>

#include "core/linux_key_map.h"
#include "core/transport_error.h"
#include "platform/linux/monitor_list_x11.h"
#include "platform/linux/xcb_handles_x11.h"

namespace pellora {

namespace {

// X11 pointer buttons: 1 left, 2 middle, 3 right, 4-7 the wheels, 8 and up the extra buttons.
constexpr std::uint8_t kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

std::optional<std::uint8_t> x11Button(int button) {
  switch (button) {
    case MouseEvent::leftButton: return 1;
    case MouseEvent::rightButton: return 3;
    case MouseEvent::centerButton: return 2;
    default:
      if (button < 0 || button + 5 > 255) return std::nullopt;
      return static_cast<std::uint8_t>(button + 5);  // raw 3 and 4 (back, forward) become 8 and 9
  }
}

bool isButtonDown(MouseEvent::Type t) {
  using T = MouseEvent::Type;
  return t == T::leftDown || t == T::rightDown || t == T::otherDown;
}
bool isButtonUp(MouseEvent::Type t) {
  using T = MouseEvent::Type;
  return t == T::leftUp || t == T::rightUp || t == T::otherUp;
}

std::int16_t toCoordinate(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<std::int16_t>(std::clamp(std::floor(v), -32768.0, 32767.0));
}

}  // namespace

struct InputEventSinkX11::Connection {
  x11::Connection connection;
  xcb_connection_t* c = nullptr;
  const xcb_screen_t* screen = nullptr;

  void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0) {
    xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? screen->root : XCB_NONE, x, y,
                        0);
  }
  void click(std::uint8_t button, std::int64_t times) {
    for (std::int64_t i = 0; i < times; ++i) {
      fake(XCB_BUTTON_PRESS, button);
      fake(XCB_BUTTON_RELEASE, button);
    }
  }
};

InputEventSinkX11::InputEventSinkX11(std::string xDisplay) : x_(std::make_unique<Connection>()) {
  int screenNumber = 0;
  x_->connection = x11::connect(xDisplay, &screenNumber);
  if (!x_->connection) throw TransportError::connectFailed("no X server at " + x11::displayLabel(xDisplay));
  x_->c = x_->connection.get();
  x_->screen = x11::screenOf(x_->c, screenNumber);
  if (!x_->screen) throw TransportError::connectFailed("no X screen " + std::to_string(screenNumber));
  if (!x11::hasExtension(x_->c, &xcb_test_id)) throw TransportError::connectFailed("no XTEST extension");
  x11::Reply<xcb_test_get_version_reply_t> version(
      xcb_test_get_version_reply(x_->c, xcb_test_get_version(x_->c, 2, 2), nullptr));
  if (!version) throw TransportError::connectFailed("no XTEST extension");
}

InputEventSinkX11::~InputEventSinkX11() = default;

std::optional<std::uint16_t> InputEventSinkX11::keyCode(std::uint16_t usage) const {
  return LinuxKeyMap::x11FromHID(usage);
}

PixelRect InputEventSinkX11::mainDisplayBounds() const { return x11::primaryBounds(x_->c, x_->screen); }

void InputEventSinkX11::postMouse(const MouseEvent& event) {
  x_->fake(XCB_MOTION_NOTIFY, 0, toCoordinate(event.location.x), toCoordinate(event.location.y));
  if (isButtonDown(event.type) || isButtonUp(event.type)) {
    if (auto button = x11Button(event.button)) {
      x_->fake(isButtonDown(event.type) ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, *button);
    }
  }
  xcb_flush(x_->c);
}

void InputEventSinkX11::postScroll(std::int32_t vertical, std::int32_t horizontal) {
  auto clicksOf = [](std::int64_t& remainder, std::int32_t units) {
    remainder += units;
    const std::int64_t clicks = remainder / unitsPerWheelClick;  // toward zero: the remainder keeps its sign
    remainder -= clicks * unitsPerWheelClick;
    return std::clamp<std::int64_t>(clicks, -maxClicksPerScroll, maxClicksPerScroll);
  };
  const std::int64_t down = clicksOf(remainderVertical_, vertical);
  const std::int64_t left = clicksOf(remainderHorizontal_, horizontal);
  x_->click(down > 0 ? kWheelUp : kWheelDown, std::abs(down));
  x_->click(left > 0 ? kWheelLeft : kWheelRight, std::abs(left));
  xcb_flush(x_->c);
}

void InputEventSinkX11::postKey(std::uint16_t keyCode, bool down, std::uint64_t /*flags*/) {
  if (keyCode > 255) return;
  x_->fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, static_cast<std::uint8_t>(keyCode));
  xcb_flush(x_->c);
}

void InputEventSinkX11::sync() {
  x11::Reply<xcb_get_input_focus_reply_t> reply(xcb_get_input_focus_reply(x_->c, xcb_get_input_focus(x_->c), nullptr));
}

}  // namespace pellora
