#pragma once

// The platform side of input injection: posts the events InputInjector decides on.

#include <cstdint>
#include <optional>

#include "host/captured_frame.h"

namespace pellora {

// A position in the global screen space, in points.
struct ScreenPoint {
  double x = 0, y = 0;
  bool operator==(const ScreenPoint&) const = default;
};

// Modifier flags every posted event carries (the held modifier keys, left and right alike).
namespace ModifierFlags {
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
}  // namespace ModifierFlags

struct MouseEvent {
  enum class Type {
    moved,
    leftDragged,
    rightDragged,
    otherDragged,
    leftDown,
    leftUp,
    rightDown,
    rightUp,
    otherDown,
    otherUp,
  };
  // Button numbers: 0 left, 1 right, 2 the centre button; other buttons carry their raw number.
  static constexpr int leftButton = 0, rightButton = 1, centerButton = 2;

  Type type = Type::moved;
  ScreenPoint location;
  int button = leftButton;
  int clickState = 0;  // button events only: 1 single, 2 double click...
  std::uint64_t flags = 0;
  bool operator==(const MouseEvent&) const = default;
};

// Lives with the InputInjector that owns it, on the host session's task. Events that cannot be posted are
// dropped silently.
class InputEventSink {
 public:
  virtual ~InputEventSink() = default;

  // The platform key code of a HID usage, or nothing when this platform has no such key.
  virtual std::optional<std::uint16_t> keyCode(std::uint16_t usage) const = 0;
  // The bounds of the main display in the global screen space, the injector's target before any capture.
  virtual PixelRect mainDisplayBounds() const = 0;

  virtual void postMouse(const MouseEvent& event) = 0;
  // Pixel-unit wheel deltas: `vertical` positive scrolls up, `horizontal` positive scrolls left.
  virtual void postScroll(std::int32_t vertical, std::int32_t horizontal) = 0;
  virtual void postKey(std::uint16_t keyCode, bool down, std::uint64_t flags) = 0;
};

}  // namespace pellora
