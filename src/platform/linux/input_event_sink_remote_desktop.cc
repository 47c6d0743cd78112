#include "platform/linux/input_event_sink_remote_desktop.h"

#include <algorithm>
#include <cmath>

#include "core/linux_key_map.h"
#include "platform/linux/remote_desktop_session.h"

namespace pellora {

namespace {

// Evdev pointer buttons (linux/input-event-codes.h): BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, then BTN_SIDE,
// BTN_EXTRA, BTN_FORWARD, BTN_BACK, BTN_TASK.
constexpr std::int32_t btnLeft = 0x110, btnRight = 0x111, btnMiddle = 0x112, btnSide = 0x113, btnTask = 0x117;

std::optional<std::int32_t> evdevButton(int button) {
  switch (button) {
    case MouseEvent::leftButton: return btnLeft;
    case MouseEvent::rightButton: return btnRight;
    case MouseEvent::centerButton: return btnMiddle;
    default:
      if (button < 3 || btnSide + (button - 3) > btnTask) return std::nullopt;
      return btnSide + (button - 3);  // raw 3 and 4 (back, forward) become the side and extra buttons
  }
}

std::optional<bool> buttonDirection(MouseEvent::Type t) {
  using T = MouseEvent::Type;
  if (t == T::leftDown || t == T::rightDown || t == T::otherDown) return true;
  if (t == T::leftUp || t == T::rightUp || t == T::otherUp) return false;
  return std::nullopt;
}

}  // namespace

InputEventSinkRemoteDesktop::InputEventSinkRemoteDesktop(std::shared_ptr<WaylandDesktop> desktop)
    : desktop_(std::move(desktop)) {
  // Until a capture says where its monitor lies: the main display at the origin.
  const std::vector<DisplayInfo> displays = desktop_->displays();
  auto main = std::find_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.primary; });
  if (main == displays.end()) main = displays.begin();
  if (main != displays.end()) mainBounds_ = {0, 0, main->width, main->height};
}

std::optional<std::uint16_t> InputEventSinkRemoteDesktop::keyCode(std::uint16_t usage) const {
  return LinuxKeyMap::evdevFromHID(usage);
}

PixelRect InputEventSinkRemoteDesktop::mainDisplayBounds() const { return mainBounds_; }

void InputEventSinkRemoteDesktop::postMouse(const MouseEvent& event) {
  std::shared_ptr<RemoteDesktopSession> session = desktop_->current();
  if (!session) return;
  const PixelRect stream = session->streamRect();
  const double x = event.location.x - stream.x, y = event.location.y - stream.y;
  if (std::isfinite(x) && std::isfinite(y)) {
    // The compositor takes positions inside the stream only.
    session->pointerMotion(std::clamp(x, 0.0, std::max(stream.width - 1, 0) * 1.0),
                           std::clamp(y, 0.0, std::max(stream.height - 1, 0) * 1.0));
  }
  if (auto down = buttonDirection(event.type)) {
    if (auto button = evdevButton(event.button)) session->pointerButton(*button, *down);
  }
}

std::int32_t InputEventSinkRemoteDesktop::takeSteps(std::int64_t& remainder, std::int32_t units) {
  remainder += units;
  const std::int64_t steps = remainder / unitsPerWheelStep;  // toward zero: the remainder keeps its sign
  remainder -= steps * unitsPerWheelStep;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(steps, -maxStepsPerScroll, maxStepsPerScroll));
}

void InputEventSinkRemoteDesktop::postScroll(std::int32_t vertical, std::int32_t horizontal) {
  // Positive units scroll up or left; the compositor's positive steps scroll down or right.
  const std::int32_t up = takeSteps(remainderVertical_, vertical);
  const std::int32_t left = takeSteps(remainderHorizontal_, horizontal);
  std::shared_ptr<RemoteDesktopSession> session = desktop_->current();
  if (!session) return;
  if (up != 0) session->pointerAxisDiscrete(0, -up);
  if (left != 0) session->pointerAxisDiscrete(1, -left);
}

void InputEventSinkRemoteDesktop::postKey(std::uint16_t keyCode, bool down, std::uint64_t /*flags*/) {
  // The compositor derives modifier state from the modifier keys themselves.
  if (std::shared_ptr<RemoteDesktopSession> session = desktop_->current()) session->key(keyCode, down);
}

}  // namespace pellora
