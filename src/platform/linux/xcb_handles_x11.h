#pragma once

// Owning wrappers of XCB handles, private to the X11 code (no public header includes XCB).

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace pellora::x11 {

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// Replies, errors and events are malloc'ed by XCB.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Connects to `displayName` (empty: $DISPLAY). Returns nullptr when no X server answers.
inline Connection connect(const std::string& displayName, int* screenNumber) {
  Connection c(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), screenNumber));
  if (xcb_connection_has_error(c.get())) return nullptr;
  return c;
}

// The display a name stands for, for error texts ("" is whatever $DISPLAY says).
inline std::string displayLabel(const std::string& displayName) {
  if (!displayName.empty()) return displayName;
  const char* env = std::getenv("DISPLAY");
  return env ? env : "(DISPLAY unset)";
}

inline xcb_screen_t* screenOf(xcb_connection_t* c, int screenNumber) {
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
    if (i == screenNumber) return it.data;
  }
  return nullptr;
}

// Sends a checked request and reports whether the server accepted it.
inline bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  Reply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
  return !error;
}

}  // namespace pellora::x11
