#pragma once

#include <cstdint>
#include <memory>
#include <set>

#include "core/message.h"
#include "host/input_event_sink.h"

namespace pellora {

// Performs the viewer's mouse and keyboard input on this computer: maps normalised pointer positions onto
// the captured display, keeps the held buttons and keys so that drags and modifier flags come out right,
// and releases everything still held at the end. Owned by the host session and used only from its task,
// so it needs no lock. Owns its sink.
class InputInjector {
 public:
  explicit InputInjector(std::unique_ptr<InputEventSink> sink);

  // Performs mouseMove, mouseButton, scroll and key; every other message is ignored.
  void handle(const Message& message);
  // Releases every held button, then the held keys, modifiers last (session tear-down).
  void releaseAll();

  // The captured display in the global screen space; set at every capture start.
  PixelRect displayBounds;

  // Normalised (0, 0) is the display's top-left pixel and (1, 1) its bottom-right one; values outside
  // 0...1 (and NaN) are clamped.
  ScreenPoint point(float x, float y) const;
  std::uint64_t modifierFlags() const;
  MouseEvent::Type moveType() const;
  int dragButton() const;
  ScreenPoint location() const { return location_; }

 private:
  void mouseMove(const Message::MouseMove& m);
  void mouseButton(const Message::MouseButtonMsg& m);
  void scroll(const Message::Scroll& m);
  void key(const Message::Key& m);
  void postButton(std::uint8_t raw, bool down, int clickState);

  std::unique_ptr<InputEventSink> sink_;
  std::set<std::uint8_t> buttons_;
  std::set<std::uint16_t> keys_;
  ScreenPoint location_;
  float scrollRemainderX_ = 0, scrollRemainderY_ = 0;
};

}  // namespace pellora
