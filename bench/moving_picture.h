#pragma once

// A picture that never stops changing, painted on an X server's root window: coloured blocks and noise
// tiles at new places every frame, more detail than any preset's bit rate carries, so that a session
// sharing that display sends as much as its rate allows.

#include <xcb/xcb.h>

#include <atomic>
#include <string>
#include <thread>

namespace pellora::bench {

class MovingPicture {
 public:
  // Paints `fps` frames a second on `display` from a thread of its own until destroyed. Throws when the
  // display cannot be reached.
  MovingPicture(const std::string& display, int fps = 30);
  ~MovingPicture();
  MovingPicture(const MovingPicture&) = delete;
  MovingPicture& operator=(const MovingPicture&) = delete;

 private:
  void paintLoop(int fps);

  xcb_connection_t* c_;
  std::atomic<bool> stopping_{false};
  std::thread painter_;
};

}  // namespace pellora::bench
