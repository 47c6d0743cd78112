#pragma once

#include <cstdint>
#include <memory>

#include "host/input_event_sink.h"

namespace pellora {

class WaylandDesktop;

// Posts input into a GNOME Wayland session through the remote-desktop session of the running capture
// (see WaylandDesktop): the pointer in the captured stream's coordinates, buttons and keys as evdev
// codes, the wheel in whole steps of 12 units with the remainder kept. Events arriving while no capture
// runs are dropped. Lives with the injector that owns it.
class InputEventSinkRemoteDesktop final : public InputEventSink {
 public:
  static constexpr int unitsPerWheelStep = 12;
  // At most this many steps per scroll event; a larger amount is cut, so that no value can stall the host.
  static constexpr int maxStepsPerScroll = 64;

  explicit InputEventSinkRemoteDesktop(std::shared_ptr<WaylandDesktop> desktop);

  std::optional<std::uint16_t> keyCode(std::uint16_t usage) const override;
  PixelRect mainDisplayBounds() const override;
  void postMouse(const MouseEvent& event) override;
  void postScroll(std::int32_t vertical, std::int32_t horizontal) override;
  void postKey(std::uint16_t keyCode, bool down, std::uint64_t flags) override;

  // Whole steps of `units` added to `remainder`, toward zero, at most maxStepsPerScroll either way.
  static std::int32_t takeSteps(std::int64_t& remainder, std::int32_t units);

 private:
  std::shared_ptr<WaylandDesktop> desktop_;
  PixelRect mainBounds_;
  std::int64_t remainderVertical_ = 0, remainderHorizontal_ = 0;
};

}  // namespace pellora
