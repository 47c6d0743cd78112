#pragma once

// The figures of one headless viewer session: a line once a second (system, latency, frame rate, bit
// rate, codec, glass-to-glass latency when the pictures carry a frame stamp) and a JSON summary at the end.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "viewer/frame_sink.h"
#include "viewer/viewer_session.h"

namespace pellora::cli {

// Nearest-rank percentile (`p` in 0...100) of `values`; nothing for an empty list.
std::optional<double> percentile(std::vector<double> values, double p);

// Collects the figures. `picture` runs on the render queue, everything else on the main strand; the
// pictures' figures are kept under `lock_`. Owned by the connect command for the session's lifetime.
class ViewerStats {
 public:
  // `startMicros`: when connecting began, on the monotonic clock of frame stamps.
  explicit ViewerStats(std::int64_t startMicros) : startMicros_(startMicros) {}

  // A decoded picture: counted, and when it carries an intact stamp not seen before, its glass-to-glass
  // latency (decoded time − capture time) is recorded.
  void picture(const Picture& picture);

  // The session's state changed (remembers when it became connected).
  void stateChanged(const ViewerSession::State& state, std::int64_t nowMicros);

  // One statistics tick while connected: records the published figures and returns the terminal line.
  std::string second(const ViewerSession::State& state);

  // The summary --stats-json writes: end state and reason, codec, frames, mean fps and kbit/s, latency,
  // the path's estimated kbit/s, the host's target kbit/s and glass-to-glass p50/p95, the rate of decoded pictures between the first and the last, and the
  // times to the connected state and to the first picture.
  std::string summaryJSON(const ViewerSession::State& state) const;

 private:
  std::int64_t startMicros_;
  std::optional<std::int64_t> connectedMicros_;
  std::vector<double> fps_, kbps_, latencyMs_, pathKbps_, targetKbps_;

  mutable std::mutex lock_;
  std::int64_t pictures_ = 0;
  std::optional<std::int64_t> firstPictureMicros_, lastPictureMicros_;
  std::optional<std::uint32_t> lastCounter_;
  std::vector<double> glassToGlassMs_;
  std::size_t reportedGlassToGlass_ = 0;  // samples already summarised in a line
};

}  // namespace pellora::cli
