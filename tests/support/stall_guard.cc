// Linked into every test binary: the network thread's stall detector is on for the whole suite, and a handler
// that blocks or computes on the network thread past the limit fails the test it happens in. A handler the
// scheduler merely preempted (a loaded machine) is reported on stderr but fails nothing.

#include <gtest/gtest.h>

#include "base/stall_detector.h"

namespace {

[[maybe_unused]] const bool gStallGuard = [] {
  pellora::StallDetector::enable();
  pellora::StallDetector::setSink([](const pellora::StallReport& report) {
    if (report.real) ADD_FAILURE() << report.line();
  });
  return true;
}();

}  // namespace
