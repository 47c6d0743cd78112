#pragma once

// Reads one rectangle of the root window, through a MIT-SHM segment when the server offers one (the
// pixels land in our memory without going through the socket), else with a plain GetImage. Private to the
// X11 code; used on the capture thread only.

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>

#include "host/captured_frame.h"
#include "platform/linux/xcb_handles_x11.h"

namespace pellora::x11 {

class ScreenGrabber {
 public:
  ScreenGrabber(xcb_connection_t* c, xcb_window_t root, PixelRect rect);
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  // The rectangle's pixels as 32-bit BGRA rows of width × 4 bytes, valid (and writable) until the next
  // grab; nullptr when the server refused it.
  std::uint8_t* grab();
  bool usesSharedMemory() const { return shm_ != nullptr; }

 private:
  class SharedMemory;
  xcb_connection_t* c_;
  xcb_window_t root_;
  PixelRect rect_;
  std::unique_ptr<SharedMemory> shm_;
  Reply<xcb_get_image_reply_t> plainImage_;
};

}  // namespace pellora::x11
