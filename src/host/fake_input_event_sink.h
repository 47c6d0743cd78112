#pragma once

#include <variant>
#include <vector>

#include "core/key_map.h"
#include "host/input_event_sink.h"

namespace pellora {

// Records what an InputInjector posts. Key codes are the Mac ones (non-ISO keyboard), so that usages
// without a Mac key are unknown here too.
class FakeInputEventSink final : public InputEventSink {
 public:
  struct Scroll {
    std::int32_t vertical = 0, horizontal = 0;
    bool operator==(const Scroll&) const = default;
  };
  struct Key {
    std::uint16_t keyCode = 0;
    bool down = false;
    std::uint64_t flags = 0;
    bool operator==(const Key&) const = default;
  };
  using Event = std::variant<MouseEvent, Scroll, Key>;

  std::optional<std::uint16_t> keyCode(std::uint16_t usage) const override { return KeyMap::macFromHID(usage, false); }
  PixelRect mainDisplayBounds() const override { return mainDisplay; }
  void postMouse(const MouseEvent& event) override { events.emplace_back(event); }
  void postScroll(std::int32_t vertical, std::int32_t horizontal) override {
    events.emplace_back(Scroll{vertical, horizontal});
  }
  void postKey(std::uint16_t code, bool down, std::uint64_t flags) override {
    events.emplace_back(Key{code, down, flags});
  }

  PixelRect mainDisplay{0, 0, 1920, 1080};
  std::vector<Event> events;
};

}  // namespace pellora
