#pragma once

#include <cstdint>
#include <memory>

#include "support/power_inhibitor.h"

namespace pellora {

// Holds at most one inhibition while a session runs. Used by the host service on the main strand.
class SleepBlocker {
 public:
  static constexpr const char* reason = "Pellora uzak oturum";

  explicit SleepBlocker(std::shared_ptr<PowerInhibitor> inhibitor);
  ~SleepBlocker();  // ends

  // Inhibits unless already active; stays inactive when the inhibitor cannot.
  void begin();
  // Releases the inhibition if one is held.
  void end();
  bool active() const { return active_; }

 private:
  std::shared_ptr<PowerInhibitor> inhibitor_;
  std::uint32_t cookie_ = 0;
  bool active_ = false;
};

}  // namespace pellora
