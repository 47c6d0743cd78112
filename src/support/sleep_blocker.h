#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "support/power_inhibitor.h"

namespace pellora {

// Holds at most one inhibition while a session runs. Used by the host service on the main strand, which
// never waits for it: the inhibitor's calls (a session bus or X server round trip) run on the process's
// power queue, in the order begin and end were called.
class SleepBlocker {
 public:
  static constexpr const char* reason = "Pellora uzak oturum";

  explicit SleepBlocker(std::shared_ptr<PowerInhibitor> inhibitor);
  ~SleepBlocker();  // ends

  // Inhibits unless an inhibition is held; stays without one when the inhibitor cannot.
  void begin();
  // Releases the inhibition if one is held.
  void end();

 private:
  // The inhibition held, if any: read and written by the queue's jobs only.
  struct Held {
    std::optional<std::uint32_t> cookie;
  };

  std::shared_ptr<PowerInhibitor> inhibitor_;
  std::shared_ptr<Held> held_ = std::make_shared<Held>();
  bool begun_ = false;  // begin() was called since the last end()
};

}  // namespace pellora
