// Linked into every test binary: the network thread's stall detector is on for the whole suite, and every
// handler that holds the network thread past the limit is reported on stderr ("pellora: stall: ..."), where
// the test output keeps it. With PELLORA_STALL_FAIL set (not "0"), a real stall — one that blocked or computed
// past the limit, not one the scheduler merely preempted on a loaded machine — also fails the test it
// happens in.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "base/stall_detector.h"

namespace {

[[maybe_unused]] const bool gStallGuard = [] {
  pellora::StallDetector::enable();
  const char* fail = std::getenv("PELLORA_STALL_FAIL");
  if (fail && *fail && std::string_view(fail) != "0") {
    pellora::StallDetector::setSink([](const pellora::StallReport& report) {
      if (report.real) ADD_FAILURE() << report.line();
    });
  }
  return true;
}();

}  // namespace
