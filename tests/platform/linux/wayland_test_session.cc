#include "wayland_test_session.h"

#include <exception>

namespace pellora::test {

std::unique_ptr<HeadlessGnome> WaylandSessionTest::gnome_;
std::string WaylandSessionTest::skipReason_;

void WaylandSessionTest::SetUpTestSuite() {
  try {
    gnome_ = std::make_unique<HeadlessGnome>("1280x720");
  } catch (const std::exception& e) {
    skipReason_ = e.what();
  }
}

}  // namespace pellora::test
