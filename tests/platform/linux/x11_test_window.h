#pragma once

// A test's own X connection to its Xvfb: draws on the root window, opens a window that records input
// events, moves the pointer, adds or removes RandR monitors, watches the screen saver, and plays another
// program on the clipboard.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/captured_frame.h"

namespace pellora::test {

struct FreeEvent {
  void operator()(void* p) const;
};
using Event = std::unique_ptr<xcb_generic_event_t, FreeEvent>;

class X11TestWindow {
 public:
  explicit X11TestWindow(const std::string& display);
  ~X11TestWindow();

  // Paints a rectangle of the root window with a 0xRRGGBB colour and waits until the server did it.
  void fill(PixelRect r, std::uint32_t rgb);
  void sync();

  // Maps a window over `r` that receives pointer and key events and holds the keyboard focus.
  void open(PixelRect r);
  // The next event of `type` (ignoring others), or nullptr after a few seconds.
  Event waitFor(std::uint8_t type);

  void warpPointer(int x, int y);

  // A RandR monitor without outputs, the primary one when `primary`; returns its name atom (its display id).
  std::uint32_t addMonitor(const std::string& name, PixelRect r, bool primary = false);
  void deleteMonitor(std::uint32_t atom);
  // Turns the first CRTC off, leaving the screen without active monitors.
  void disableOutputs();

  bool hasScreenSaver();
  // Arms the screen saver to come on after one idle second, counted from now.
  void armScreenSaver();
  bool screenSaverOn();

  // CLIPBOARD data as an owner offers it or a requestor receives it. ATOM lists come back as names, each
  // followed by a space, after a space.
  struct Data {
    std::string type;
    std::string bytes;
  };
  void takeClipboard();
  // Answers every request for CLIPBOARD from `offers` (by target name; others are refused) until `done`.
  void serveUntil(const std::future<std::optional<std::string>>& done, const std::map<std::string, Data>& offers);
  // Asks the owner of CLIPBOARD for `target`; nothing when refused.
  std::optional<Data> request(const std::string& target);

 private:
  std::uint32_t atom(const std::string& name);
  std::string name(std::uint32_t atom);
  // The window that owns or asks for the clipboard: the input window when one is open, else a hidden one.
  xcb_window_t clipboardWindow();

  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_window_t window_ = XCB_NONE;
};

}  // namespace pellora::test
