#include "cli/viewer_stats.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <numeric>

#include "base/monotonic_clock.h"
#include "host/frame_stamp.h"

namespace pellora::cli {

namespace json = boost::json;

namespace {

double mean(const std::vector<double>& values) {
  return values.empty() ? 0 : std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

json::value percentiles(const std::vector<double>& values) {
  if (values.empty()) return nullptr;
  return json::object{{"p50", *percentile(values, 50)}, {"p95", *percentile(values, 95)}, {"samples", values.size()}};
}

std::string codecName(std::optional<Codec> codec) {
  if (!codec) return "-";
  return *codec == Codec::h264 ? "h264" : "jpeg";
}

}  // namespace

std::optional<double> percentile(std::vector<double> values, double p) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

void ViewerStats::picture(const Picture& picture) {
  // The stamp is black and white, so any one channel of the BGRA picture carries it: green here.
  std::optional<FrameStamp> stamp;
  if (picture.width > 0 && picture.height > 0 &&
      picture.bgra.size() >= static_cast<std::size_t>(picture.stride) * static_cast<std::size_t>(picture.height))
    stamp = FrameStamp::read(picture.bgra.data() + 1, picture.stride, picture.width, picture.height, 4);
  const std::int64_t decoded = picture.decodedMicros != 0 ? picture.decodedMicros : monotonicMicros();
  std::lock_guard lock(lock_);
  ++pictures_;
  if (!firstPictureMicros_) firstPictureMicros_ = decoded;
  lastPictureMicros_ = decoded;
  if (stamp && stamp->counter != lastCounter_) {
    lastCounter_ = stamp->counter;
    glassToGlassMs_.push_back(static_cast<double>(decoded - stamp->captureMicros) / 1000.0);
  }
}

void ViewerStats::stateChanged(const ViewerSession::State& state, std::int64_t nowMicros) {
  if (!connectedMicros_ && std::holds_alternative<ViewerSession::Connected>(state.phase)) connectedMicros_ = nowMicros;
}

std::string ViewerStats::second(const ViewerSession::State& state) {
  fps_.push_back(static_cast<double>(state.fps));
  kbps_.push_back(static_cast<double>(state.kbps));
  if (state.latencyMs) latencyMs_.push_back(static_cast<double>(*state.latencyMs));
  if (state.pathKbps) pathKbps_.push_back(static_cast<double>(*state.pathKbps));
  if (state.targetKbps) targetKbps_.push_back(static_cast<double>(*state.targetKbps));

  std::string line = "os=" + std::string(label(state.remoteOS)) + " latency=" +
                     (state.latencyMs ? std::to_string(*state.latencyMs) + "ms" : std::string("-")) +
                     (state.targetKbps ? " target=" + std::to_string(*state.targetKbps) + "kbps" : std::string()) +
                     (state.pathKbps ? " path=" + std::to_string(*state.pathKbps) + "kbps" : std::string()) +
                     " fps=" + std::to_string(state.fps) + " kbps=" + std::to_string(state.kbps) +
                     " codec=" + codecName(state.codec);
  std::lock_guard lock(lock_);
  std::vector<double> recent(glassToGlassMs_.begin() + static_cast<std::ptrdiff_t>(reportedGlassToGlass_),
                             glassToGlassMs_.end());
  reportedGlassToGlass_ = glassToGlassMs_.size();
  if (auto median = percentile(std::move(recent), 50)) line += " g2g=" + std::to_string(std::lround(*median)) + "ms";
  return line;
}

std::string ViewerStats::summaryJSON(const ViewerSession::State& state) const {
  std::string phase = "connecting", reason;
  if (auto* ended = std::get_if<ViewerSession::Ended>(&state.phase)) phase = "ended", reason = ended->text;
  else if (auto* connecting = std::get_if<ViewerSession::Connecting>(&state.phase)) reason = connecting->text;
  else phase = "connected";

  const double frames = std::accumulate(fps_.begin(), fps_.end(), 0.0);
  const auto millisSinceStart = [&](std::optional<std::int64_t> t) -> json::value {
    if (!t) return nullptr;
    return static_cast<double>(*t - startMicros_) / 1000.0;
  };
  std::lock_guard lock(lock_);
  double pictureFps = 0;
  if (pictures_ > 1 && *lastPictureMicros_ > *firstPictureMicros_)
    pictureFps = static_cast<double>(pictures_ - 1) * 1e6 / static_cast<double>(*lastPictureMicros_ - *firstPictureMicros_);
  json::object document{
      {"endState", phase},
      {"endReason", reason},
      {"connected", connectedMicros_.has_value()},
      {"remoteName", state.remoteName},
      {"remoteOS", std::string(label(state.remoteOS))},
      {"handshakeVersion", state.handshakeVersion > 0 ? json::value(state.handshakeVersion) : json::value(nullptr)},
      {"codec", state.codec ? json::value(codecName(state.codec)) : json::value(nullptr)},
      {"seconds", fps_.size()},
      {"frames", static_cast<std::int64_t>(frames)},
      {"pictures", pictures_},
      {"meanFps", mean(fps_)},
      {"pictureFps", pictureFps},
      {"meanKbps", mean(kbps_)},
      {"latencyMs", percentiles(latencyMs_)},
      {"pathKbps", percentiles(pathKbps_)},
      {"targetKbps", percentiles(targetKbps_)},
      {"glassToGlassMs", percentiles(glassToGlassMs_)},
      {"connectedAfterMs", millisSinceStart(connectedMicros_)},
      {"firstPictureAfterMs", millisSinceStart(firstPictureMicros_)},
  };
  return json::serialize(document) + "\n";
}

}  // namespace pellora::cli
