#pragma once

#include <vector>

#include "viewer/service_browser.h"

namespace pellora {

// A service browser for tests: counts `start` calls and reports whatever set the test hands to `report`,
// on the caller's thread (as a real browser would from its own thread).
class FakeServiceBrowser : public ServiceBrowser {
 public:
  void start() override { ++startCalls; }

  void report(const std::vector<ServiceEndpoint>& all) {
    if (onResults) onResults(all);
  }

  int startCalls = 0;
};

}  // namespace pellora
