#include "host/input_injector.h"

#include <cmath>
#include <limits>
#include <vector>

namespace pellora {

namespace {

constexpr std::uint8_t kLeft = static_cast<std::uint8_t>(MouseButton::left);
constexpr std::uint8_t kRight = static_cast<std::uint8_t>(MouseButton::right);

bool isModifier(std::uint16_t usage) { return usage >= 0xE0 && usage <= 0xE7; }

// NaN compares false both ways; it is taken as 0 rather than carried into a screen position.
double clampUnit(float v) {
  if (!(v > 0)) return 0;
  return v > 1 ? 1 : v;
}

// Whole units of a scroll amount, or nothing when it is not finite or does not fit a signed 32-bit integer.
std::optional<std::int32_t> wholeUnits(float amount) {
  if (!std::isfinite(amount)) return std::nullopt;
  const float whole = std::trunc(amount);
  // 2^31 is exactly representable as a float; every float below it fits.
  if (whole >= 2147483648.0f || whole < -2147483648.0f) return std::nullopt;
  return static_cast<std::int32_t>(whole);
}

}  // namespace

InputInjector::InputInjector(std::unique_ptr<InputEventSink> sink)
    : displayBounds(sink->mainDisplayBounds()), sink_(std::move(sink)) {}

void InputInjector::handle(const Message& message) {
  if (auto m = message.as<Message::MouseMove>()) {
    mouseMove(*m);
  } else if (auto b = message.as<Message::MouseButtonMsg>()) {
    mouseButton(*b);
  } else if (auto s = message.as<Message::Scroll>()) {
    scroll(*s);
  } else if (auto k = message.as<Message::Key>()) {
    key(*k);
  }
}

ScreenPoint InputInjector::point(float x, float y) const {
  return {displayBounds.x + (displayBounds.width - 1) * clampUnit(x),
          displayBounds.y + (displayBounds.height - 1) * clampUnit(y)};
}

std::uint64_t InputInjector::modifierFlags() const {
  std::uint64_t flags = 0;
  for (std::uint16_t usage : keys_) {
    if (!isModifier(usage)) continue;
    switch ((usage - 0xE0) % 4) {
      case 0: flags |= ModifierFlags::control; break;
      case 1: flags |= ModifierFlags::shift; break;
      case 2: flags |= ModifierFlags::option; break;
      default: flags |= ModifierFlags::command; break;
    }
  }
  return flags;
}

MouseEvent::Type InputInjector::moveType() const {
  if (buttons_.empty()) return MouseEvent::Type::moved;
  if (buttons_.contains(kLeft)) return MouseEvent::Type::leftDragged;
  if (buttons_.contains(kRight)) return MouseEvent::Type::rightDragged;
  return MouseEvent::Type::otherDragged;
}

int InputInjector::dragButton() const {
  if (buttons_.contains(kLeft)) return MouseEvent::leftButton;
  if (buttons_.contains(kRight)) return MouseEvent::rightButton;
  return MouseEvent::centerButton;
}

void InputInjector::mouseMove(const Message::MouseMove& m) {
  location_ = point(m.x, m.y);
  sink_->postMouse({moveType(), location_, dragButton(), 0, modifierFlags()});
}

void InputInjector::mouseButton(const Message::MouseButtonMsg& m) {
  location_ = point(m.x, m.y);
  if (m.down) {
    buttons_.insert(m.button);
  } else {
    buttons_.erase(m.button);
  }
  postButton(m.button, m.down, m.clicks > 1 ? m.clicks : 1);
}

void InputInjector::postButton(std::uint8_t raw, bool down, int clickState) {
  using T = MouseEvent::Type;
  MouseEvent event;
  event.location = location_;
  event.clickState = clickState;
  event.flags = modifierFlags();
  if (raw == kLeft) {
    event.type = down ? T::leftDown : T::leftUp;
    event.button = MouseEvent::leftButton;
  } else if (raw == kRight) {
    event.type = down ? T::rightDown : T::rightUp;
    event.button = MouseEvent::rightButton;
  } else {
    event.type = down ? T::otherDown : T::otherUp;
    event.button = raw;  // 2 is the centre button itself
  }
  sink_->postMouse(event);
}

void InputInjector::scroll(const Message::Scroll& m) {
  const float sx = m.dx + scrollRemainderX_;
  const float sy = m.dy + scrollRemainderY_;
  const auto ix = wholeUnits(sx), iy = wholeUnits(sy);
  if (!ix || !iy) return;  // dropped; the remainder stays as it was
  scrollRemainderX_ = sx - static_cast<float>(*ix);
  scrollRemainderY_ = sy - static_cast<float>(*iy);
  if (*ix == 0 && *iy == 0) return;
  sink_->postScroll(*iy, *ix);
}

void InputInjector::key(const Message::Key& m) {
  const auto code = sink_->keyCode(m.hid);
  if (!code) return;
  if (m.down) {
    keys_.insert(m.hid);
  } else {
    keys_.erase(m.hid);
  }
  sink_->postKey(*code, m.down, modifierFlags());
}

void InputInjector::releaseAll() {
  // Each held button goes up with its own number, so that a held extra button is not left pressed.
  for (std::uint8_t raw : buttons_) postButton(raw, false, 1);
  buttons_.clear();

  // Ordinary keys first, while the modifiers still apply; then the modifiers, each with the flags left.
  std::vector<std::uint16_t> ordinary, modifiers;
  for (std::uint16_t usage : keys_) (isModifier(usage) ? modifiers : ordinary).push_back(usage);
  for (const auto& group : {ordinary, modifiers}) {
    for (std::uint16_t usage : group) {
      keys_.erase(usage);
      if (auto code = sink_->keyCode(usage)) sink_->postKey(*code, false, modifierFlags());
    }
  }
}

}  // namespace pellora
