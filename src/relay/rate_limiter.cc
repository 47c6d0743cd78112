#include "relay/rate_limiter.h"

namespace pellora::relay {

bool RateLimiter::allow(const std::string& address, Clock::time_point now) {
  constexpr auto window = std::chrono::minutes(1);
  if (windows_.size() >= maxAddresses_ && !windows_.count(address)) {
    std::erase_if(windows_, [&](const auto& e) { return now - e.second.start >= window; });
    if (windows_.size() >= maxAddresses_) windows_.clear();
  }
  Window& w = windows_[address];
  if (w.count == 0 || now - w.start >= window) w = Window{now, 0};
  if (w.count >= perMinute_) return false;
  ++w.count;
  return true;
}

}  // namespace pellora::relay
