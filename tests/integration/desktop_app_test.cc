// The desktop app as a user meets it: `pellora` started with PELLORA_AUTOCONNECT on one private X server
// opens the session window of a `pellora host` that shares a second one; clicks and keys sent into the
// window with xdotool move the host's pointer and reach its keyboard. Only loopback is used; every
// process has its own HOME and the file secret store.

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/json_file.h"
#include "support/pellora_process.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace pellora::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto settle = 30s;  // reached only when something is broken
constexpr const char* password = "masa-lambasi";

// Runs a shell command and returns its standard output.
std::string run(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    pclose(pipe);
  }
  return out;
}

// "x y" of the pointer on `display`.
std::pair<int, int> pointer(const std::string& display) {
  int x = -1, y = -1;
  std::sscanf(run("DISPLAY=" + display + " xdotool getmouselocation").c_str(), "x:%d y:%d", &x, &y);
  return {x, y};
}

class DesktopAppTest : public ::testing::Test {
 protected:
  std::unique_ptr<PelloraProcess> start(const std::string& name, const std::vector<std::string>& variables,
                                        const std::vector<std::string>& arguments) {
    return std::make_unique<PelloraProcess>(folder_, name, arguments, variables);
  }

  int hostPort() {
    auto status = readJSONFile(folder_ / "status.json");
    return status && status->is_object() ? static_cast<int>(status->at("listeningPort").as_int64()) : 0;
  }
  bool hostHasSession() { return run("cat " + (folder_ / "status.json").string()).find("\"active\":{") != std::string::npos; }

  TempDir temp_{"pellora-desktop"};
  fs::path folder_ = temp_.path;
};

TEST_F(DesktopAppTest, AutoConnectedWindowControlsTheHost) {
  Xvfb viewerScreen(1600, 1000);
  Xvfb hostScreen(800, 600);
  auto host = start("host", {"DISPLAY=" + hostScreen.display()},
                    {"host", "--listen", "127.0.0.1:0", "--no-relay", "--no-discovery", "--approve", "never",
                     "--password", password, "--status-json", (folder_ / "status.json").string()});
  ASSERT_TRUE(eventually([&] { return hostPort() > 0; }));
  // The host's keyboard, watched on its root window (the focus of a bare X server).
  const fs::path keys = folder_ / "keys.log";
  auto watcher = std::make_unique<ChildProcess>(
      "/bin/sh", std::vector<std::string>{"-c", "exec env DISPLAY=" + hostScreen.display() +
                                                    " xev -root -event keyboard >" + keys.string()});

  auto app = start("app",
                   {"DISPLAY=" + viewerScreen.display(), "PELLORA_HOST_LISTEN=127.0.0.1:0",
                    "PELLORA_AUTOCONNECT=127.0.0.1:" + std::to_string(hostPort()) + "|" + password},
                   {});
  ASSERT_TRUE(eventually([&] { return hostHasSession(); })) << app->errors();

  // The session window carries the host's name once connected.
  std::string hostName = run("hostname");
  hostName.pop_back();
  std::string window;
  ASSERT_TRUE(eventually([&] {
    window = run("DISPLAY=" + viewerScreen.display() + " xdotool search --onlyvisible --name '^" + hostName + "$' | head -1");
    return !window.empty();
  }));
  window.pop_back();
  const std::string x = "DISPLAY=" + viewerScreen.display() + " xdotool ";
  run(x + "windowmove " + window + " 0 0");
  int width = 0, height = 0;
  std::sscanf(run(x + "getwindowgeometry " + window + " | grep Geometry").c_str(), " Geometry: %dx%d", &width, &height);
  ASSERT_GT(width, 0);

  // The far left of the window is letterbox or the picture's left edge: x clamps to 0.
  const int toolbar = 60;
  const int cx = width / 2, cy = toolbar / 2 + height / 2;
  ASSERT_TRUE(eventually([&] {
    run(x + "mousemove 2 " + std::to_string(cy) + " click 1");
    return pointer(hostScreen.display()).first <= 1;
  }));
  // The centre of the screen area (below the toolbar) is the centre of the host's screen.
  ASSERT_TRUE(eventually([&] {
    run(x + "mousemove " + std::to_string(cx) + " " + std::to_string(cy) + " click 1");
    const auto [px, py] = pointer(hostScreen.display());
    return std::abs(px - 400) <= 12 && std::abs(py - 300) <= 12;
  })) << pointer(hostScreen.display()).first << "," << pointer(hostScreen.display()).second;

  // Keys typed into the window reach the host's keyboard.
  run(x + "windowfocus " + window);
  ASSERT_TRUE(eventually([&] {
    run(x + "key --window " + window + " b");
    return run("cat " + keys.string()).find("(keysym 0x62, b)") != std::string::npos;
  })) << run("cat " + keys.string());
  watcher->signal(SIGTERM);

  // A logout's SIGTERM ends the app as its Quit does: the session says goodbye, the app exits cleanly.
  app->process->signal(SIGTERM);
  EXPECT_EQ(app->process->wait(), 0) << app->errors();
  EXPECT_TRUE(eventually([&] { return !hostHasSession(); }));
  host->process->signal(SIGTERM);
}

}  // namespace
}  // namespace pellora::test
