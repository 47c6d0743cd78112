#pragma once

#include "core/linux_key_map.h"
#include "host/input_event_sink.h"

namespace pellora {

// Drops every event: the input side of a host without a display to act on (the synthetic source of
// demos and benchmarks). Reports the Linux key codes, so that the injector's bookkeeping runs as it
// would on X11. Lives with the injector that owns it.
class NullInputEventSink final : public InputEventSink {
 public:
  explicit NullInputEventSink(PixelRect mainDisplay = {0, 0, 1920, 1080}) : mainDisplay_(mainDisplay) {}

  std::optional<std::uint16_t> keyCode(std::uint16_t usage) const override { return LinuxKeyMap::x11FromHID(usage); }
  PixelRect mainDisplayBounds() const override { return mainDisplay_; }
  void postMouse(const MouseEvent&) override {}
  void postScroll(std::int32_t, std::int32_t) override {}
  void postKey(std::uint16_t, bool, std::uint64_t) override {}

 private:
  PixelRect mainDisplay_;
};

}  // namespace pellora
