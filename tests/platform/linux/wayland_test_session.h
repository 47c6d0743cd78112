#pragma once

// The Wayland tests' shared setting: one private headless GNOME session per test binary run, in which the
// tests run the test client (support/wayland_client.h).

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>

#include "support/headless_gnome.h"
#include "support/wayland_client.h"

namespace pellora::test {

// Starts the session once for the suite (a few hundred milliseconds); every test skips with the reason when
// it cannot start.
class WaylandSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      gnome_ = std::make_unique<HeadlessGnome>("1280x720");
    } catch (const std::exception& e) {
      skipReason_ = e.what();
    }
  }
  static void TearDownTestSuite() { gnome_.reset(); }
  void SetUp() override {
    if (!gnome_ && skipReason_.empty()) SetUpTestSuite();  // a test before this one ended the session
    if (!gnome_) GTEST_SKIP() << skipReason_;
  }

  static inline std::unique_ptr<HeadlessGnome> gnome_;
  static inline std::string skipReason_;
};

}  // namespace pellora::test
