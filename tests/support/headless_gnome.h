#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/scoped_env.h"

namespace pellora::test {

// A private headless GNOME session for one test (see headless_gnome.sh): started by the constructor, ready
// when it returns (the compositor answers on its bus), stopped by the destructor. The constructor points
// this process at it (DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR, WAYLAND_DISPLAY; processes started
// meanwhile inherit them) and the destructor restores them. Throws std::runtime_error with the reason when
// it cannot start.
class HeadlessGnome {
 public:
  explicit HeadlessGnome(const std::string& size = "1280x720");
  ~HeadlessGnome();
  HeadlessGnome(const HeadlessGnome&) = delete;
  HeadlessGnome& operator=(const HeadlessGnome&) = delete;

  // Kills the compositor (to test what happens when it goes away).
  void killCompositor();

 private:
  void waitUntilReady();
  void stop();

  std::unique_ptr<ScopedEnv> environment_;
  std::string dir_;
  std::unique_ptr<ChildProcess> script_;
};

}  // namespace pellora::test
