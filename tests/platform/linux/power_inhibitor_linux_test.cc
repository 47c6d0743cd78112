#include "platform/linux/power_inhibitor_linux.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support/eventually.h"
#include "support/scoped_env.h"
#include "support/xvfb.h"
#include "x11_test_window.h"

namespace pellora {
namespace {

using test::Xvfb;

// Whether the screen saver, armed to come on after one idle second, does so within a few. A screen saver
// that stays off leaves no mark, so the check that it does rests on those few seconds.
bool screenSaverComesOn(test::X11TestWindow& x) {
  x.armScreenSaver();
  return test::eventually([&] { return x.screenSaverOn(); }, std::chrono::seconds(4), std::chrono::milliseconds(100));
}

TEST(PowerInhibitorLinux, NothingWhenNoBackendAnswers) {
  PowerInhibitorLinux inhibitor(test::kAbsentDisplay, PowerInhibitorLinux::Backends::x11Only);
  EXPECT_EQ(inhibitor.inhibit("Pellora uzak oturum"), std::nullopt);
}

// A bus socket that takes the connection and never says a word: the inhibitor gives up on it after a
// short while and suspends the X screen saver instead, until the inhibition is released.
TEST(PowerInhibitorLinux, AStuckBusFallsBackToSuspendingTheXScreenSaverWhileHeld) {
  Xvfb xvfb;
  test::X11TestWindow x(xvfb.display());
  if (!x.hasScreenSaver()) GTEST_SKIP() << "the X server lacks MIT-SCREEN-SAVER";
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
  const auto cookie = inhibitor.inhibit("Pellora uzak oturum");
  ASSERT_TRUE(cookie.has_value());
  EXPECT_FALSE(screenSaverComesOn(x));
  inhibitor.release(*cookie);
  inhibitor.release(*cookie);  // a second release of the same cookie is ignored
  EXPECT_TRUE(screenSaverComesOn(x));
  close(listener);
  unlink(path.c_str());
}

}  // namespace
}  // namespace pellora
