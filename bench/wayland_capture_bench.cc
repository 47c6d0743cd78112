// Wayland screen capture (ScreenCapturerPipeWire through GNOME's own interfaces) in a private headless
// GNOME session, one per monitor size (1280x720 and 1920x1080), while the Wayland test client keeps
// changing the screen: the compositor sends a picture only when something changed.
//   - BM_WaylandToI420/<size>: the capturer's conversion of the newest PipeWire picture into an I420
//     frame of the same size, per delivered frame. The public API cannot time it from outside, but the
//     capturer stamps a frame's capture time (ptsMicros) just before it converts and calls onFrame right
//     after, so the time from the stamp to the callback is that conversion and the frame's changed
//     rectangles. Not in it: the picture's two copies before it (out of the PipeWire buffer on the stream's
//     thread, then into the converter's buffer), each about one memcpy reference. Beside the X11 grab plus
//     conversion at the same size and a memcpy of the picture's bytes (capture_bench.cc). The compositor
//     and the client run meanwhile, the X server of the X11 figure does not: on a busy machine the
//     conversion here shares the cores with them.
//   - BM_WaylandFps/<size>_<preset>: frames delivered per second over a few seconds at each preset's
//     H.264 rate and largest side, beside that rate. A counter also gives the time from start() to the
//     first frame, the compositor's session and the PipeWire stream set-up included.
// Every benchmark here skips with the reason when the session cannot start.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/quality.h"
#include "base/monotonic_clock.h"
#include "platform/linux/mutter_remote_desktop.h"
#include "platform/linux/screen_capturer_pipewire.h"
#include "support/headless_gnome.h"
#include "support/wayland_client.h"

namespace pellora {
namespace {

using namespace std::chrono_literals;

constexpr int kTimedFrames = 120;           // a few seconds at the rate the compositor delivers
constexpr auto kWarmUp = 500ms;             // before counting delivered frames
constexpr auto kCountingTime = 3s;
constexpr auto kFrameTimeout = 5s;          // the first frame comes after the session's set-up

// A session with the test client full screen on its monitor. Each session takes over this process's
// environment, so only one lives at a time: the previous size's ends when another size is asked for.
struct GnomeSession {
  explicit GnomeSession(const std::string& size) : gnome(size) {}
  test::HeadlessGnome gnome;
  test::WaylandTestClient client;
};

// The session for a monitor of `width` × `height`, or none with the benchmark skipped.
GnomeSession* sessionOf(benchmark::State& state, int width, int height) {
  static std::unique_ptr<GnomeSession> session;
  static std::string size, failure;  // of the last session asked for
  const std::string wanted = std::to_string(width) + "x" + std::to_string(height);
  if (wanted != size) {
    session.reset();
    size = wanted;
    failure.clear();
    try {
      session = std::make_unique<GnomeSession>(wanted);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  if (!session) state.SkipWithError(("no headless GNOME session: " + failure).c_str());
  return session.get();
}

// Keeps the client's picture changing faster than any capture rate: a square that moves and changes
// colour every few milliseconds, until destroyed.
class Animation {
 public:
  explicit Animation(test::WaylandTestClient& client)
      : thread_([&client](std::stop_token stop) {
          const int side = client.height() / 4;
          for (std::uint32_t i = 1; !stop.stop_requested(); ++i) {
            const int x = static_cast<int>(i * 13 % static_cast<std::uint32_t>(client.width() - side));
            const int y = static_cast<int>(i * 7 % static_cast<std::uint32_t>(client.height() - side));
            client.fill(x, y, side, side, 0x3C6E91u * i);
            std::this_thread::sleep_for(4ms);
          }
        }) {}

 private:
  std::jthread thread_;
};

// A capture of the session's monitor and what it delivers, gathered on the capturer's thread: per frame
// the time from its stamp to the callback, and the arrival time.
class Capture {
 public:
  Capture() {
    capturer_.onFrame = [this](const CapturedFrame& frame) {
      const std::int64_t now = monotonicMicros();
      std::lock_guard lock(mutex_);
      conversionMicros_.push_back(now - frame.ptsMicros);
      arrivalMicros_.push_back(now);
      changed_.notify_all();
    };
    capturer_.onStop = [this](const std::string& reason) {
      std::lock_guard lock(mutex_);
      stopReason_ = reason.empty() ? "the capture stopped" : reason;
      changed_.notify_all();
    };
  }

  // Starts and waits for the `n`th frame; false with the benchmark skipped when that fails.
  bool start(benchmark::State& state, int maxDimension, int fps, std::size_t n = 1) {
    try {
      capturer_.start(0, maxDimension, fps);
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return false;
    }
    return waitFor(state, n);
  }
  // Waits until the `n`th frame (counting from 1) has arrived; false with the benchmark skipped when the
  // capture stopped or the frame did not come in time.
  bool waitFor(benchmark::State& state, std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kFrameTimeout, [&] { return arrivalMicros_.size() >= n || !stopReason_.empty(); });
    if (arrivalMicros_.size() >= n) return true;
    state.SkipWithError((stopReason_.empty() ? "no frame from the screen cast in time" : stopReason_).c_str());
    return false;
  }
  std::int64_t conversionMicros(std::size_t i) {
    std::lock_guard lock(mutex_);
    return conversionMicros_.at(i);
  }
  std::int64_t arrivalMicros(std::size_t i) {
    std::lock_guard lock(mutex_);
    return arrivalMicros_.at(i);
  }
  // The median of the conversion times of frames `from` to `to` (counting from 0, `to` excluded).
  std::int64_t medianConversionMicros(std::size_t from, std::size_t to) {
    std::lock_guard lock(mutex_);
    std::vector<std::int64_t> times(conversionMicros_.begin() + static_cast<std::ptrdiff_t>(from),
                                    conversionMicros_.begin() + static_cast<std::ptrdiff_t>(to));
    std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2), times.end());
    return times[times.size() / 2];
  }
  std::size_t arrivedBetween(std::int64_t from, std::int64_t to) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(arrivalMicros_.begin(), arrivalMicros_.end(),
                                                  [&](std::int64_t t) { return t >= from && t < to; }));
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::int64_t> conversionMicros_, arrivalMicros_;
  std::string stopReason_;
  ScreenCapturerPipeWire capturer_{std::make_shared<MutterDesktop>()};  // last: stopped before the rest goes
};

void BM_WaylandToI420(benchmark::State& state, int width, int height, const std::string& reference) {
  GnomeSession* session = sessionOf(state, width, height);
  if (!session) return;
  Animation animation(session->client);
  Capture capture;
  // The first frames fault in fresh buffers: they are left out.
  constexpr std::size_t skipped = 5;
  if (!capture.start(state, std::max(width, height), 60, skipped)) return;
  std::size_t n = skipped;
  bool failed = false;
  for (auto _ : state) {
    if (!capture.waitFor(state, ++n)) {
      failed = true;
      break;
    }
    state.SetIterationTime(static_cast<double>(capture.conversionMicros(n - 1)) / 1e6);
  }
  if (failed) return;
  const double seconds = static_cast<double>(capture.arrivalMicros(n - 1) - capture.arrivalMicros(skipped - 1)) / 1e6;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * width * height * 4);
  state.counters["delivered_fps"] = static_cast<double>(n - skipped) / seconds;
  // The time above is the mean, which the compositor and the client stretch when they take the capture
  // thread's core; the median shows the conversion itself.
  state.counters["median_ms"] = static_cast<double>(capture.medianConversionMicros(skipped, n)) / 1000;
  state.SetLabel("ref=BM_X11GrabToI420_" + reference + "/real_time,BM_Memcpy" + reference + " metric=time");
}

void BM_WaylandFps(benchmark::State& state, int width, int height, Quality quality) {
  const QualityPreset& p = preset(quality);
  const std::string name = "wayland_" + std::to_string(height) + "p_" + std::string(rawValue(quality));
  GnomeSession* session = sessionOf(state, width, height);
  if (!session) return;
  Animation animation(session->client);
  double firstFrameMs = 0, deliveredFps = 0;
  bool failed = false;
  for (auto _ : state) {
    Capture capture;
    const std::int64_t started = monotonicMicros();
    if (!capture.start(state, p.maxDimension, p.h264Fps)) {
      failed = true;
      break;
    }
    firstFrameMs = static_cast<double>(capture.arrivalMicros(0) - started) / 1000;
    std::this_thread::sleep_for(kWarmUp);
    const std::int64_t from = monotonicMicros();
    std::this_thread::sleep_for(kCountingTime);
    const std::int64_t to = monotonicMicros();
    deliveredFps = static_cast<double>(capture.arrivedBetween(from, to)) * 1e6 / static_cast<double>(to - from);
  }
  if (failed) return;
  state.counters[name + "_delivered_fps"] = deliveredFps;
  state.counters[name + "_preset_fps"] = p.h264Fps;
  state.counters[name + "_first_frame_ms"] = firstFrameMs;
  state.SetLabel("figure=" + name + "_delivered_fps ref=" + name + "_preset_fps unit=fps better=equal");
}

// Grouped by size, so that each size's session starts once.
BENCHMARK_CAPTURE(BM_WaylandToI420, 720p, 1280, 720, "720p")
    ->Iterations(kTimedFrames)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WaylandFps, 720p_low, 1280, 720, Quality::low)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_WaylandFps, 720p_balanced, 1280, 720, Quality::balanced)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_WaylandFps, 720p_high, 1280, 720, Quality::high)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_WaylandToI420, 1080p, 1920, 1080, "1080p")
    ->Iterations(kTimedFrames)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WaylandFps, 1080p_low, 1920, 1080, Quality::low)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_WaylandFps, 1080p_balanced, 1920, 1080, Quality::balanced)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_WaylandFps, 1080p_high, 1920, 1080, Quality::high)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace pellora
