#pragma once

// The X11 displays as RandR monitors, shared by capture and injection. Private to the X11 code.

#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/captured_frame.h"

namespace pellora::x11 {

struct Monitor {
  std::uint32_t id = 0;  // the monitor's name atom: stable while the monitor exists
  PixelRect rect;        // in the root window, clipped to it
  bool primary = false;
  std::string name;  // its first output's name, else "Ekran " + id
};

bool hasExtension(xcb_connection_t* c, xcb_extension_t* extension);

// The RandR 1.5 monitors in the server's order, one of them marked primary (the first when the server names
// none); the whole root as one display when RandR cannot list them.
std::vector<Monitor> monitorsOf(xcb_connection_t* c, const xcb_screen_t* screen);

// The primary monitor's bounds, else the root's.
PixelRect primaryBounds(xcb_connection_t* c, const xcb_screen_t* screen);

}  // namespace pellora::x11
