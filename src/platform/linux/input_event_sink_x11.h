#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/input_event_sink.h"

namespace pellora {

// Posts input through the X server's XTEST extension. Keys are X11 key codes of the evdev keymap; the
// server derives modifier state from the modifier keys themselves, so event flags are not needed. X11 has
// no pixel scrolling: whole wheel clicks of 12 units are posted and the remainder kept. Lives with the
// injector that owns it.
class InputEventSinkX11 final : public InputEventSink {
 public:
  static constexpr int unitsPerWheelClick = 12;
  // At most this many clicks per scroll event; a larger amount is cut, so that no value can stall the host.
  static constexpr int maxClicksPerScroll = 64;

  // `xDisplay` names the X server; empty means $DISPLAY. Throws TransportError::connectFailed when no X
  // server with XTEST answers.
  explicit InputEventSinkX11(std::string xDisplay = {});
  ~InputEventSinkX11() override;

  std::optional<std::uint16_t> keyCode(std::uint16_t usage) const override;
  PixelRect mainDisplayBounds() const override;
  void postMouse(const MouseEvent& event) override;
  void postScroll(std::int32_t vertical, std::int32_t horizontal) override;
  void postKey(std::uint16_t keyCode, bool down, std::uint64_t flags) override;

  // Returns once the server has performed everything posted so far.
  void sync();

 private:
  struct Connection;
  std::unique_ptr<Connection> x_;
  std::int64_t remainderVertical_ = 0, remainderHorizontal_ = 0;
};

}  // namespace pellora
