#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/power_inhibitor.h"

namespace pellora {

// Records what is asked of the platform, for tests; `works` decides whether an inhibition can be had.
// Thread-safe: the sleep blocker calls it on its queue while a test reads it.
class FakePowerInhibitor final : public PowerInhibitor {
 public:
  std::optional<std::uint32_t> inhibit(const std::string& reason) override {
    std::lock_guard lock(mutex_);
    if (!works) return std::nullopt;
    reasons.push_back(reason);
    return 40 + static_cast<std::uint32_t>(reasons.size());
  }
  void release(std::uint32_t cookie) override {
    std::lock_guard lock(mutex_);
    released.push_back(cookie);
  }
  // Inhibitions granted and not yet released.
  int held() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(reasons.size() - released.size());
  }

  bool works = true;
  std::vector<std::string> reasons;
  std::vector<std::uint32_t> released;

 private:
  std::mutex mutex_;
};

}  // namespace pellora
