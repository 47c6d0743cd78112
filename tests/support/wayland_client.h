#pragma once

// The Wayland test client (tests/platform/linux/wayland_test_client.cc) as a child process, for the
// Wayland tests and the capture benchmark. Its path comes from PELLORA_WAYLAND_TEST_CLIENT, defined by the
// target that compiles wayland_client.cc.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "support/child_process.h"

namespace pellora::test {

// The test client, full screen on the monitor of the session this process points at (HeadlessGnome).
// Owned by one test or benchmark; used from one thread at a time.
class WaylandTestClient {
 public:
  // Waits until the window is shown; throws std::runtime_error when it is not.
  WaylandTestClient();
  void fill(int x, int y, int width, int height, std::uint32_t rgb);
  void setCursor(int qtCursorShape) { process_.writeLine("cursor " + std::to_string(qtCursorShape)); }
  // The next line the client reports that starts with `prefix`, skipping others; none when it takes longer.
  std::optional<std::string> next(const std::string& prefix,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  ChildProcess process_;
  int width_ = 0, height_ = 0;
};

}  // namespace pellora::test
