#pragma once

// A test's own X connection to its Xvfb: draws on the root window, opens a window that records input
// events, reads the pointer and adds or removes RandR monitors.

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
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

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_window_t window_ = XCB_NONE;
};

}  // namespace pellora::test
