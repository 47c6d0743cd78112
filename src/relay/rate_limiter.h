#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace pellora::relay {

// Allows each client address `perMinute` events in any one-minute window (fixed windows). Memory stays
// bounded: when `maxAddresses` addresses are tracked, windows that have ended are dropped, and if that is not
// enough the whole table starts over (a flood of addresses then briefly lifts the limit rather than growing
// without bound). Single-threaded.
class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateLimiter(int perMinute, std::size_t maxAddresses = 100'000)
      : perMinute_(perMinute), maxAddresses_(maxAddresses) {}

  bool allow(const std::string& address, Clock::time_point now = Clock::now());
  std::size_t trackedAddresses() const { return windows_.size(); }

 private:
  struct Window {
    Clock::time_point start;
    int count = 0;
  };
  int perMinute_;
  std::size_t maxAddresses_;
  std::unordered_map<std::string, Window> windows_;
};

}  // namespace pellora::relay
