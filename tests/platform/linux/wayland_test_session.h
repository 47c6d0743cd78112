#pragma once

// The Wayland tests' shared setting: one private headless GNOME session per test binary run, and the test
// client of wayland_test_client.cc inside it.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "support/child_process.h"
#include "support/headless_gnome.h"

namespace pellora::test {

// Starts the session once for the suite (a few hundred milliseconds); every test skips with the reason when
// it cannot start.
class WaylandSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite() { gnome_.reset(); }
  void SetUp() override {
    if (!gnome_ && skipReason_.empty()) SetUpTestSuite();  // a test before this one ended the session
    if (!gnome_) GTEST_SKIP() << skipReason_;
  }

  static std::unique_ptr<HeadlessGnome> gnome_;
  static std::string skipReason_;
};

// The test client, full screen on the session's monitor.
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
