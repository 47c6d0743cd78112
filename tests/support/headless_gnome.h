#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "support/child_process.h"

namespace pellora::test {

// A private headless GNOME session for one test (see headless_gnome.sh): started by the constructor, ready
// when it returns (the compositor answers on its bus), stopped by the destructor. The constructor points
// this process at it (DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR, WAYLAND_DISPLAY), so tests using it live
// in a binary of their own. Throws std::runtime_error with the reason when it cannot start.
class HeadlessGnome {
 public:
  explicit HeadlessGnome(const std::string& size = "1280x720");
  ~HeadlessGnome();
  HeadlessGnome(const HeadlessGnome&) = delete;
  HeadlessGnome& operator=(const HeadlessGnome&) = delete;

  // Environment entries ("NAME=value") a child process needs to join the session.
  std::vector<std::string> environment() const;
  // Kills the compositor (to test what happens when it goes away).
  void killCompositor();

 private:
  std::string dir_;
  std::unique_ptr<ChildProcess> script_;
};

}  // namespace pellora::test
