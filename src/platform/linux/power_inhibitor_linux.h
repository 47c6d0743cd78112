#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "support/power_inhibitor.h"

namespace pellora {

// Keeps the display awake: org.freedesktop.ScreenSaver Inhibit on the session bus when the desktop offers
// it, else a suspension of the X server's screen saver (which also holds off DPMS). Both are tied to our
// connection, so each connection stays open for the inhibitor's life once made. Every bus call is bounded
// by a short timeout, so a missing or stuck bus never hangs the caller. Owned by the host service's sleep
// blocker; called from one thread at a time (a lock guards it anyway).
class PowerInhibitorLinux final : public PowerInhibitor {
 public:
  static constexpr const char* applicationName = "Pellora";
  enum class Backends { sessionBusThenX11, x11Only };

  // `xDisplay` names the X server for the fallback; empty means $DISPLAY.
  explicit PowerInhibitorLinux(std::string xDisplay = {}, Backends backends = Backends::sessionBusThenX11);
  ~PowerInhibitorLinux() override;

  std::optional<std::uint32_t> inhibit(const std::string& reason) override;
  void release(std::uint32_t cookie) override;

 private:
  class SessionBus;
  class ScreenSaverX11;
  struct Held {
    bool onBus = false;
    std::uint32_t busCookie = 0;
  };

  const std::string xDisplay_;
  const Backends backends_;
  std::mutex mutex_;
  std::unique_ptr<SessionBus> bus_;     // made on first use
  std::unique_ptr<ScreenSaverX11> x_;   // made on first use
  std::map<std::uint32_t, Held> held_;  // by the cookie we handed out
  std::uint32_t nextCookie_ = 1;
};

}  // namespace pellora
