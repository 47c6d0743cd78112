#pragma once

// Waiting for something another thread or process does: the condition is polled until it holds. The bound
// is reached only when something is broken; tests assert on the result, never on the time taken.

#include <chrono>
#include <functional>
#include <thread>

namespace pellora::test {

inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound = std::chrono::seconds(30),
                       std::chrono::milliseconds every = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(every);
  }
}

}  // namespace pellora::test
