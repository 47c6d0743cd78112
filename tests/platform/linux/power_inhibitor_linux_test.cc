#include "platform/linux/power_inhibitor_linux.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "support/scoped_env.h"
#include "support/xvfb.h"

namespace pellora {
namespace {

using test::Xvfb;

// A test's view of the X screen saver: arms it after one idle second and reports whether it runs.
class ScreenSaverProbe {
 public:
  explicit ScreenSaverProbe(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {}
  ~ScreenSaverProbe() { xcb_disconnect(c_); }

  bool hasExtension() {
    const xcb_query_extension_reply_t* e = xcb_get_extension_data(c_, &xcb_screensaver_id);
    return e && e->present;
  }
  void armAfterOneSecond() {
    xcb_set_screen_saver(c_, 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_DEFAULT);
    xcb_force_screen_saver(c_, XCB_SCREEN_SAVER_RESET);
    sync();
  }
  bool on() {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    std::unique_ptr<xcb_screensaver_query_info_reply_t, decltype(&std::free)> info(
        xcb_screensaver_query_info_reply(c_, xcb_screensaver_query_info(c_, root), nullptr), &std::free);
    return info && info->state == XCB_SCREENSAVER_STATE_ON;
  }
  // Whether the screen saver comes on within a few seconds.
  bool comesOn() {
    for (int i = 0; i < 40; ++i) {
      if (on()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
  xcb_connection_t* c_;
};

TEST(PowerInhibitorLinux, SuspendsTheXScreenSaverWhileHeld) {
  Xvfb xvfb;
  ScreenSaverProbe probe(xvfb.display());
  if (!probe.hasExtension()) GTEST_SKIP() << "the X server lacks MIT-SCREEN-SAVER";

  PowerInhibitorLinux inhibitor(xvfb.display(), PowerInhibitorLinux::Backends::x11Only);
  const auto cookie = inhibitor.inhibit("Pellora uzak oturum");
  ASSERT_TRUE(cookie.has_value());
  probe.armAfterOneSecond();
  EXPECT_FALSE(probe.comesOn());

  inhibitor.release(*cookie);
  inhibitor.release(*cookie);  // a second release of the same cookie is ignored
  probe.armAfterOneSecond();
  EXPECT_TRUE(probe.comesOn());
}

TEST(PowerInhibitorLinux, NothingWhenNoBackendAnswers) {
  PowerInhibitorLinux inhibitor(test::kAbsentDisplay, PowerInhibitorLinux::Backends::x11Only);
  EXPECT_EQ(inhibitor.inhibit("Pellora uzak oturum"), std::nullopt);
}

// A bus socket that takes the connection and never says a word: the inhibitor gives up on it after a
// short while and suspends the X screen saver instead.
TEST(PowerInhibitorLinux, AStuckBusFallsBackToTheXScreenSaver) {
  Xvfb xvfb;
  if (!ScreenSaverProbe(xvfb.display()).hasExtension()) GTEST_SKIP() << "the X server lacks MIT-SCREEN-SAVER";
  const std::string path =
      (std::filesystem::temp_directory_path() / ("pellora-stuck-bus-" + std::to_string(getpid()))).string();
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  unlink(path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  const std::string bus = "unix:path=" + path;
  test::ScopedEnv useIt("DBUS_SESSION_BUS_ADDRESS", bus.c_str());

  PowerInhibitorLinux inhibitor(xvfb.display());
  EXPECT_TRUE(inhibitor.inhibit("Pellora uzak oturum").has_value());
  close(listener);
  unlink(path.c_str());
}

}  // namespace
}  // namespace pellora
