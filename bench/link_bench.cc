// Slow links: `pellora host` and `pellora connect --headless` (H.264) as real processes, through a shaping
// proxy on loopback, for each preset on these paths: 50 Mbit/s with 10 ms each way, 10/30, 3/50, 1/80, and
// 10 Mbit/s with 30 ms each way dropping to 2 Mbit/s halfway. Each path carries two sessions:
//   - the synthetic screen at 1920 × 1080, whose stamp gives glass-to-glass;
//   - a private Xvfb of the same size shared with `--source x11`, where a painter changes the whole picture
//     every frame (more than any preset carries), for the ping, the delivered rate and the recovery.
// Each figure stands beside its reference from the same run:
//   - glass-to-glass p95 and ping round trip p95 beside what the path itself costs: its round trip, one
//     frame interval and the time one average frame takes at the path's rate (goal: at most twice that);
//   - delivered bit rate while the picture changes beside what the link can carry: the path's rate, or the
//     preset's own bit rate where that is lower, on the dropping path the mean of its halves (goal: at
//     least 0.6 of it); and beside what the link is asked to carry, which is also no more than the same
//     preset's moving picture delivered on loopback earlier in the same run (where the machine encodes
//     fewer pictures than the preset's rate, the picture asks for less than the preset);
//   - pictures per second of both sessions beside the preset's rate (lower is expected on slow paths);
//   - the viewer's estimate of the path's rate beside the real one;
//   - on the dropping path, seconds until the ping is back within twice its reference, beside 2 s;
//   - on loopback without the proxy, glass-to-glass p95 and pictures per second for comparison, and the
//     moving picture's own bit rate (what it asks of a path).
// PELLORA_BENCH_SECONDS sets each session's length (default 30: the viewer pings once a second, and a p95
// of fewer pings is only the slowest of them).

#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "core/quality.h"
#include "moving_picture.h"
#include "pellora_processes.h"
#include "shaping_proxy.h"
#include "support/xvfb.h"

namespace pellora {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kPassword = "bench-parola";

int sessionSeconds() {
  const char* value = std::getenv("PELLORA_BENCH_SECONDS");
  return value && std::atoi(value) > 5 ? std::atoi(value) : 30;
}

struct LinkPath {
  std::int64_t bitsPerSecond = 0;  // 0: loopback, no proxy
  int oneWayMs = 0;
  std::int64_t dropTo = 0;  // the rate after the middle of the session; 0: none
};

struct SessionFigures {
  json::object stats;
  std::vector<std::optional<double>> pingPerSecond;  // one per viewer statistics line
  std::size_t dropLine = 0;                          // the line at which the rate dropped
};

std::optional<double> pingOf(const std::string& line) {
  static const std::regex latency("latency=([0-9]+)ms");
  std::smatch m;
  if (std::regex_search(line, m, latency)) return std::stod(m[1]);
  return std::nullopt;
}

// One session over `path`: of the synthetic screen, or of the X server `xDisplay`.
SessionFigures runSession(const fs::path& folder, Quality quality, const LinkPath& path, int seconds,
                          const std::string& xDisplay = {}) {
  const fs::path stats = folder / "stats.json";
  fs::remove(stats);
  auto [host, hostPort] = bench::startHost(folder, quality, kPassword, xDisplay);
  std::unique_ptr<bench::ShapingProxy> proxy;
  std::uint16_t port = hostPort;
  if (path.bitsPerSecond > 0) {
    proxy = std::make_unique<bench::ShapingProxy>(
        hostPort, bench::ShapingProxy::Path{path.bitsPerSecond, std::chrono::milliseconds(path.oneWayMs)});
    port = proxy->port();
  }
  auto viewer = bench::startPellora({"connect", "127.0.0.1:" + std::to_string(port), "--headless", "--password",
                                     kPassword, "--codec", "h264", "--quality", std::string(rawValue(quality)),
                                     "--seconds", std::to_string(seconds), "--stats-json", stats.string()});
  for (;;) {
    auto line = viewer->readLine(60s);
    if (!line) throw std::runtime_error("the viewer did not connect");
    if (line->starts_with("Connected to ")) break;
  }
  SessionFigures figures;
  const auto dropAt = Clock::now() + std::chrono::seconds(seconds) / 2;
  bool dropped = false;
  const auto giveUp = Clock::now() + std::chrono::seconds(seconds) + 60s;
  for (;;) {
    if (Clock::now() > giveUp) throw std::runtime_error("the viewer did not end");
    if (!dropped && path.dropTo > 0 && Clock::now() >= dropAt) {
      proxy->setRate(path.dropTo);
      figures.dropLine = figures.pingPerSecond.size();
      dropped = true;
    }
    auto line = viewer->readLine(200ms);
    if (line && line->starts_with("os=")) figures.pingPerSecond.push_back(pingOf(*line));
    if (!line && viewer->wait(0ms)) break;
  }
  figures.stats = bench::endSession(*host, stats);
  return figures;
}

// The moving picture's delivered kbit/s on loopback, per preset, when that benchmark ran in this process.
std::map<Quality, double>& loopbackKbps() {
  static std::map<Quality, double> figures;
  return figures;
}

double p95(const json::object& stats, const char* key) {
  const json::value& v = stats.at(key);
  return v.is_null() ? 0 : bench::statNumber(v.at("p95"));
}

void BM_Link(benchmark::State& state, Quality quality, LinkPath path, std::string pathName) {
  const std::string name = std::string(rawValue(quality)) + "_" + pathName;
  SessionFigures synthetic, moving;
  if (!bench::runInPrivateFolder(state, "pellora-link-bench", [&](const fs::path& folder) {
        synthetic = runSession(folder, quality, path, sessionSeconds());
        test::Xvfb xvfb(1920, 1080);
        bench::MovingPicture picture(xvfb.display());
        moving = runSession(folder, quality, path, sessionSeconds(), xvfb.display());
      }))
    return;

  const json::object& g = synthetic.stats;
  const json::object& s = moving.stats;
  const double presetFps = captureFps(quality, Codec::h264);
  const double fps = bench::statNumber(s.at("pictureFps"));
  const double kbps = bench::statNumber(s.at("meanKbps"));
  auto& counters = state.counters;
  const auto set = [&](const std::string& counter, double value) { counters[name + "_" + counter] = value; };
  std::string label;
  const auto figure = [&](const std::string& value, const std::string& reference, const std::string& unit,
                          const std::string& better) {
    label += (label.empty() ? "" : ";") + ("figure=" + name + "_" + value + " ref=" + name + "_" + reference +
                                           " unit=" + unit + " better=" + better);
  };
  set("g2g_p95_ms", p95(g, "glassToGlassMs"));
  set("synthetic_fps", bench::statNumber(g.at("pictureFps")));
  set("delivered_fps", fps);
  set("delivered_kbps", kbps);
  set("preset_fps", presetFps);
  figure("synthetic_fps", "preset_fps", "fps", "equal");
  figure("delivered_fps", "preset_fps", "fps", "equal");
  if (path.bitsPerSecond == 0) {
    set("floor_ms", 1000.0 / presetFps);
    set("preset_kbps", static_cast<double>(preset(quality).h264Bitrate) / 1000);
    figure("g2g_p95_ms", "floor_ms", "ms", "lower");
    figure("delivered_kbps", "preset_kbps", "kbit/s", "higher");
    loopbackKbps()[quality] = kbps;
    state.SetLabel(label);
    return;
  }

  // What the path itself costs one picture of a session (after a drop, at the lower rate).
  const double pathKbps = static_cast<double>(path.dropTo > 0 ? path.dropTo : path.bitsPerSecond) / 1000;
  const auto referenceMs = [&](const json::object& stats) {
    const double f = bench::statNumber(stats.at("pictureFps"));
    const double frameBits = f > 0 ? bench::statNumber(stats.at("meanKbps")) * 1000 / f : 0;
    return 2.0 * path.oneWayMs + (f > 0 ? 1000.0 / f : 0) + frameBits / pathKbps;
  };
  set("g2g_path_ms", referenceMs(g));
  set("path_ms", referenceMs(s));
  set("ping_p95_ms", p95(s, "latencyMs"));
  set("path_kbps", static_cast<double>(path.bitsPerSecond) / 1000);
  // The preset's rate bounds what any path can be asked to carry; a dropping path carries its two rates
  // for half the session each.
  const auto usable = [&](std::int64_t rate) {
    return static_cast<double>(std::min<std::int64_t>(rate, preset(quality).h264Bitrate)) / 1000;
  };
  const auto halves = [&](const auto& of) {
    return path.dropTo > 0 ? (of(path.bitsPerSecond) + of(path.dropTo)) / 2 : of(path.bitsPerSecond);
  };
  set("usable_kbps", halves(usable));
  const auto own = loopbackKbps().find(quality);
  if (own != loopbackKbps().end()) {
    set("asked_kbps", halves([&](std::int64_t rate) { return std::min(usable(rate), own->second); }));
    figure("delivered_kbps", "asked_kbps", "kbit/s", "higher");
  }
  set("estimated_path_kbps", s.at("pathKbps").is_null() ? 0 : bench::statNumber(s.at("pathKbps").at("p50")));
  figure("g2g_p95_ms", "g2g_path_ms", "ms", "lower");
  figure("ping_p95_ms", "path_ms", "ms", "lower");
  figure("delivered_kbps", "usable_kbps", "kbit/s", "higher");
  figure("estimated_path_kbps", "path_kbps", "kbit/s", "equal");
  if (path.dropTo > 0) {
    // Seconds from the drop to the last second whose ping was more than twice the reference.
    std::size_t recovered = moving.dropLine;
    for (std::size_t i = moving.dropLine; i < moving.pingPerSecond.size(); ++i)
      if (moving.pingPerSecond[i] && *moving.pingPerSecond[i] > 2 * referenceMs(s)) recovered = i + 1;
    set("recovery_s", static_cast<double>(recovered - moving.dropLine));
    set("goal_s", 2);
    figure("recovery_s", "goal_s", "s", "lower");
  }
  state.SetLabel(label);
}

void registerAll() {
  const std::pair<std::string, LinkPath> paths[] = {
      {"loopback", {}},
      {"50M_10ms", {50'000'000, 10}},
      {"10M_30ms", {10'000'000, 30}},
      {"3M_50ms", {3'000'000, 50}},
      {"1M_80ms", {1'000'000, 80}},
      {"10to2M_30ms", {10'000'000, 30, 2'000'000}},
  };
  for (Quality quality : allQualities)
    for (const auto& [pathName, path] : paths)
      benchmark::RegisterBenchmark(("BM_Link/" + std::string(rawValue(quality)) + "_" + pathName).c_str(), BM_Link,
                                   quality, path, pathName)
          ->Iterations(1)
          ->Unit(benchmark::kSecond);
}

const int registered = (registerAll(), 0);

}  // namespace
}  // namespace pellora
