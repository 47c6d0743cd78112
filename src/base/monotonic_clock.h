#pragma once

#include <chrono>
#include <cstdint>

namespace pellora {

// Microseconds of the monotonic clock: the one time base of capture, frame stamps and decoded pictures, so
// that a picture's decode time and its stamp give the latency.
inline std::int64_t monotonicMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace pellora
