#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pellora {

// Keeps the display from sleeping or blanking. Linux: org.freedesktop.ScreenSaver Inhibit on the session
// bus, else the X screensaver extension's suspend (platform/linux). Called from one thread at a time.
class PowerInhibitor {
 public:
  virtual ~PowerInhibitor() = default;
  // Returns a cookie for `release`, or nothing when the display cannot be kept awake.
  virtual std::optional<std::uint32_t> inhibit(const std::string& reason) = 0;
  virtual void release(std::uint32_t cookie) = 0;
};

}  // namespace pellora
