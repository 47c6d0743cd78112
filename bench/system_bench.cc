// The whole system over loopback: `pellora host --source synthetic` at 1920 × 1080 and
// `pellora connect --headless` as real processes, for H.264 at each preset and for JPEG regions. Each run
// reports, beside a reference measured in the same run:
//   - glass-to-glass latency p50/p95 (capture time stamped into the frame, read back from the decoded
//     picture) beside the compute floor: the same frames drawn, encoded and decoded back to back in this
//     process, without network, queues or pacing;
//   - delivered frames per second beside the preset's rate;
//   - host and viewer CPU in cores beside the cores the compute floor alone needs at the preset's rate;
//   - host and viewer peak resident memory beside one 1920 × 1080 BGRA picture;
//   - time from connecting to the first picture beside connecting and the handshake alone.
// PELLORA_BENCH_SECONDS sets each session's length (default 30).

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <thread>

#include "cli/viewer_stats.h"
#include "core/quality.h"
#include "host/capture_size.h"
#include "base/monotonic_clock.h"
#include "host/frame_stamp.h"
#include "host/h264_encoder.h"
#include "host/jpeg_region_encoder.h"
#include "host/synthetic_frame_source.h"
#include "pellora_processes.h"
#include "viewer/video_renderer.h"

namespace pellora {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr double kChangeFraction = 0.1;  // as the synthetic capturer draws
constexpr int kFloorFrames = 90;
const std::string kPassword = "bench-parola";

int sessionSeconds() {
  const char* value = std::getenv("PELLORA_BENCH_SECONDS");
  return value && std::atoi(value) > 2 ? std::atoi(value) : 30;
}

double meanOf(const std::vector<double>& values) {
  return values.empty() ? 0 : std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}
double millisSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The compute floor: per frame, the synthetic frame drawn (the capture), encoded, and decoded into a
// BGRA picture, each timed.
struct Floor {
  std::vector<double> captureMs, encodeMs, decodeMs, totalMs;
};

Floor computeFloor(Quality quality, Codec codec) {
  const QualityPreset& p = preset(quality);
  const PixelSize size = outputSize(kWidth, kHeight, p.maxDimension);
  SyntheticFrameSource source(size.width, size.height, kChangeFraction);
  auto sink = std::make_shared<FrameSink>();
  VideoRenderer renderer(sink);
  renderer.requestKeyframe = [] {};
  renderer.onSize = [](VideoRenderer::Size) {};
  std::vector<Message> out;
  std::unique_ptr<H264Encoder> h264;
  std::unique_ptr<JPEGRegionEncoder> jpeg;
  if (codec == Codec::h264) {
    h264 = std::make_unique<H264Encoder>(size.width, size.height, p.h264Bitrate, p.h264Fps);
    h264->onOutput = [&](std::optional<Message> config, Message frame) {
      if (config) out.push_back(std::move(*config));
      out.push_back(std::move(frame));
    };
  } else {
    jpeg = std::make_unique<JPEGRegionEncoder>(p.jpegQuality);
  }
  Floor floor;
  for (int i = 0; i < kFloorFrames; ++i) {
    out.clear();
    const auto t0 = Clock::now();
    CapturedFrame frame = source.next(monotonicMicros());
    const double capture = millisSince(t0);
    const auto t1 = Clock::now();
    if (h264) h264->encode(frame.image, frame.ptsMicros);
    else if (auto message = jpeg->encode(*frame.image, frame.dirty, i == 0)) out.push_back(std::move(*message));
    const double encode = millisSince(t1);
    const auto t2 = Clock::now();
    for (auto& message : out) renderer.handle(std::move(message));
    renderer.waitUntilIdle();
    const double decode = millisSince(t2);
    if (i < 5) continue;  // warm-up: encoder start and first key frame
    floor.captureMs.push_back(capture);
    floor.encodeMs.push_back(encode);
    floor.decodeMs.push_back(decode);
    floor.totalMs.push_back(capture + encode + decode);
  }
  return floor;
}

// CPU seconds used so far by `pid` (user + system), and its peak resident memory in MB.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
double peakResidentMB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

using bench::startPellora;

struct SessionFigures {
  json::object stats;
  double hostCores = 0, viewerCores = 0, hostMB = 0, viewerMB = 0;
};

SessionFigures runSession(const fs::path& folder, Quality quality, Codec codec, int seconds) {
  const std::string q(rawValue(quality)), c = codec == Codec::h264 ? "h264" : "jpeg";
  const fs::path stats = folder / "stats.json";
  fs::remove(stats);
  auto [host, port] = bench::startHost(folder, quality, kPassword);

  auto viewer = startPellora({"connect", "127.0.0.1:" + std::to_string(port), "--headless", "--password", kPassword,
                              "--codec", c, "--quality", q, "--seconds", std::to_string(seconds),
                              "--stats-json", stats.string()});
  for (;;) {
    auto line = viewer->readLine(30s);
    if (!line) throw std::runtime_error("the viewer did not connect");
    if (line->starts_with("Connected to ")) break;
  }
  // CPU over the session's middle: from a second after connecting to a second before its end.
  std::this_thread::sleep_for(1s);
  const auto t0 = Clock::now();
  const double host0 = cpuSeconds(host->pid()), viewer0 = cpuSeconds(viewer->pid());
  for (auto until = t0 + std::chrono::seconds(seconds - 2); Clock::now() < until;) viewer->readLine(200ms);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  SessionFigures figures;
  figures.hostCores = (cpuSeconds(host->pid()) - host0) / wall;
  figures.viewerCores = (cpuSeconds(viewer->pid()) - viewer0) / wall;
  figures.hostMB = peakResidentMB(host->pid());
  figures.viewerMB = peakResidentMB(viewer->pid());
  while (viewer->readLine(1s)) {
  }
  if (viewer->wait(20s) != 0) throw std::runtime_error("the viewer's session failed");
  figures.stats = bench::endSession(*host, stats);
  return figures;
}


void BM_System(benchmark::State& state, Quality quality, Codec codec) {
  const std::string name = std::string(codec == Codec::h264 ? "h264_" : "jpeg_") + std::string(rawValue(quality));
  SessionFigures session;
  Floor floor;
  if (!bench::runInPrivateFolder(state, "pellora-system-bench", [&](const fs::path& folder) {
        session = runSession(folder, quality, codec, sessionSeconds());
        floor = computeFloor(quality, codec);
      }))
    return;

  const double presetFps = captureFps(quality, codec);
  const json::object& s = session.stats;
  const json::value g2g = s.at("glassToGlassMs");
  auto& counters = state.counters;
  const auto set = [&](const std::string& counter, double value) { counters[name + "_" + counter] = value; };
  set("g2g_p50_ms", g2g.is_null() ? 0 : bench::statNumber(g2g.at("p50")));
  set("g2g_p95_ms", g2g.is_null() ? 0 : bench::statNumber(g2g.at("p95")));
  set("floor_p50_ms", *cli::percentile(floor.totalMs, 50));
  set("floor_p95_ms", *cli::percentile(floor.totalMs, 95));
  set("delivered_fps", bench::statNumber(s.at("pictureFps")));
  set("preset_fps", presetFps);
  set("host_cores", session.hostCores);
  set("viewer_cores", session.viewerCores);
  set("host_floor_cores", (meanOf(floor.captureMs) + meanOf(floor.encodeMs)) * presetFps / 1000);
  set("viewer_floor_cores", meanOf(floor.decodeMs) * presetFps / 1000);
  set("host_peak_mb", session.hostMB);
  set("viewer_peak_mb", session.viewerMB);
  set("picture_mb", kWidth * kHeight * 4 / 1e6);
  set("first_picture_ms", bench::statNumber(s.at("firstPictureAfterMs")));
  set("handshake_ms", bench::statNumber(s.at("connectedAfterMs")));

  std::string label;
  const auto figure = [&](const std::string& value, const std::string& reference, const std::string& unit,
                          const std::string& better) {
    label += (label.empty() ? "" : ";") + ("figure=" + name + "_" + value + " ref=" + name + "_" + reference +
                                           " unit=" + unit + " better=" + better);
  };
  figure("g2g_p50_ms", "floor_p50_ms", "ms", "lower");
  figure("g2g_p95_ms", "floor_p95_ms", "ms", "lower");
  figure("delivered_fps", "preset_fps", "fps", "equal");
  figure("host_cores", "host_floor_cores", "cores", "lower");
  figure("viewer_cores", "viewer_floor_cores", "cores", "lower");
  figure("host_peak_mb", "picture_mb", "MB", "lower");
  figure("viewer_peak_mb", "picture_mb", "MB", "lower");
  figure("first_picture_ms", "handshake_ms", "ms", "lower");
  state.SetLabel(label);
}

BENCHMARK_CAPTURE(BM_System, h264_low, Quality::low, Codec::h264)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_System, h264_balanced, Quality::balanced, Codec::h264)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_System, h264_high, Quality::high, Codec::h264)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_System, jpeg_balanced, Quality::balanced, Codec::jpegRegions)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pellora
