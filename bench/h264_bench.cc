// H.264 with libx264 at each preset, from a 1920 × 1080 synthetic desktop with a quarter of the screen
// scrolling: milliseconds per frame beside the ffmpeg command-line encoder given the same raw frames and
// settings, the bit rate reached beside the preset's target, and the frame rate a live capture achieves
// beside the preset's rate. Times per frame are CPU time of every encoder thread (of the ffmpeg process for
// the reference), which other work on a shared machine disturbs far less than wall time; the frame rates
// are wall-clock.

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "host/capture_size.h"
#include "host/h264_encoder.h"
#include "core/quality.h"
#include "host/synthetic_frame_source.h"
#include "host/synthetic_screen_capturer.h"

namespace pellora {
namespace {

constexpr int sourceWidth = 1920, sourceHeight = 1080;
constexpr double changeFraction = 0.25;
constexpr int clipFrames = 32;  // the scrolling content repeats after 32 frames
constexpr int videoSeconds = 4;
constexpr int liveSeconds = 3;

using Clock = std::chrono::steady_clock;

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double childrenCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

std::string name(Quality q) { return std::string(rawValue(q)); }

PixelSize sizeFor(Quality q) { return outputSize(sourceWidth, sourceHeight, preset(q).maxDimension); }

const std::vector<std::shared_ptr<const I420Frame>>& clip(Quality q) {
  static std::array<std::vector<std::shared_ptr<const I420Frame>>, 3> clips;
  auto& frames = clips[toByte(q)];
  if (frames.empty()) {
    SyntheticFrameSource source(sizeFor(q).width, sizeFor(q).height, changeFraction);
    for (int i = 0; i < clipFrames; ++i) frames.push_back(source.next(i).image);
  }
  return frames;
}

// Encoded bytes (samples and configurations) and samples of one run.
struct Tally {
  std::uint64_t bytes = 0;
  int samples = 0;
  void attach(H264Encoder& encoder) {
    encoder.onOutput = [this](std::optional<Message> config, Message frame) {
      if (config)
        for (const Bytes& set : config->as<Message::VideoConfig>()->parameterSets) bytes += set.size();
      bytes += frame.as<Message::VideoFrame>()->data.size();
      ++samples;
    };
  }
};

void BM_H264Libx264(benchmark::State& state, Quality q) {
  const QualityPreset& p = preset(q);
  const auto& frames = clip(q);
  H264Encoder encoder(sizeFor(q).width, sizeFor(q).height, p.h264Bitrate, p.h264Fps, {"libx264"});
  Tally tally;
  tally.attach(encoder);
  std::int64_t i = 0;
  const auto begin = Clock::now();
  for (auto _ : state) {
    const double cpu = processCpuSeconds();
    encoder.encode(frames[static_cast<std::size_t>(i % clipFrames)], i * 1'000'000 / p.h264Fps);
    state.SetIterationTime(processCpuSeconds() - cpu);
    ++i;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const std::string g = "h264_" + name(q);
  state.counters[g + "_kbps"] = static_cast<double>(tally.bytes) * 8 / (static_cast<double>(i) / p.h264Fps) / 1000;
  state.counters[g + "_target_kbps"] = p.h264Bitrate / 1000.0;
  state.counters[g + "_fps"] = static_cast<double>(i) / seconds;
  state.counters[g + "_target_fps"] = p.h264Fps;
  state.SetLabel("ref=BM_H264FfmpegCli/" + name(q) + "/iterations:1/manual_time metric=time; figure=" + g + "_kbps ref=" + g +
                 "_target_kbps unit=kbps better=equal; figure=" + g + "_fps ref=" + g + "_target_fps unit=fps better=higher");
}

// The same frames through `ffmpeg` with the same settings. The time per frame is the difference of a long
// and a short run divided by the frames between them, so that process start and encoder set-up cancel out.
void BM_H264FfmpegCli(benchmark::State& state, Quality q) {
  const QualityPreset& p = preset(q);
  const PixelSize size = sizeFor(q);
  const auto path = std::filesystem::temp_directory_path() / ("pellora-h264-bench-" + std::to_string(getpid()) + ".yuv");
  {
    std::ofstream out(path, std::ios::binary);
    for (const auto& f : clip(q))
      for (const auto* plane : {&f->y, &f->u, &f->v})
        out.write(reinterpret_cast<const char*>(plane->data()), static_cast<std::streamsize>(plane->size()));
  }
  auto run = [&](int frames) {
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -nostdin -f rawvideo -pix_fmt yuv420p -video_size " +
        std::to_string(size.width) + "x" + std::to_string(size.height) + " -framerate " + std::to_string(p.h264Fps) +
        " -stream_loop -1 -i " + path.string() + " -frames:v " + std::to_string(frames) +
        " -c:v libx264 -preset " + H264Encoder::softwarePreset(size.width, size.height, p.h264Fps) +
        " -tune zerolatency -profile:v high -bf 0 -b:v " + std::to_string(p.h264Bitrate) + " -g " +
        std::to_string(p.h264Fps * 10) + " -forced-idr 1 -threads 0 -f null -";
    const double cpu = childrenCpuSeconds();
    const int rc = std::system(command.c_str());
    return rc == 0 ? std::optional(childrenCpuSeconds() - cpu) : std::nullopt;
  };
  const int longRun = p.h264Fps * videoSeconds, shortRun = 8;
  for (auto _ : state) {
    const auto full = run(longRun), start = run(shortRun);
    if (!full || !start) {
      state.SkipWithError("ffmpeg failed (is the ffmpeg package installed?)");
      break;
    }
    state.SetIterationTime((*full - *start) / (longRun - shortRun));
  }
  std::filesystem::remove(path);
}

// A live capture at the preset's rate feeding the encoder on the capture thread, as the host does.
void BM_H264Live(benchmark::State& state, Quality q) {
  const QualityPreset& p = preset(q);
  SyntheticScreenCapturer capturer({sourceWidth, sourceHeight, changeFraction});
  H264Encoder encoder(sizeFor(q).width, sizeFor(q).height, p.h264Bitrate, p.h264Fps, {"libx264"});
  Tally tally;
  tally.attach(encoder);
  capturer.onFrame = [&encoder](const CapturedFrame& f) { encoder.encode(f.image, f.ptsMicros); };
  for (auto _ : state) {
    capturer.start(SyntheticScreenCapturer::displayID, p.maxDimension, p.h264Fps);
    std::this_thread::sleep_for(std::chrono::seconds(liveSeconds));
    capturer.stop();
  }
  const std::string g = "h264_live_" + name(q);
  state.counters[g + "_fps"] = static_cast<double>(tally.samples) / liveSeconds;
  state.counters[g + "_target_fps"] = p.h264Fps;
  state.SetLabel("figure=" + g + "_fps ref=" + g + "_target_fps unit=fps better=higher");
}

// Registered at start-up, like the BENCHMARK macros, one benchmark per preset.
[[maybe_unused]] const bool registered = [] {
  for (Quality q : allQualities) {
    const int frames = preset(q).h264Fps * videoSeconds;
    benchmark::RegisterBenchmark(("BM_H264Libx264/" + name(q)).c_str(), BM_H264Libx264, q)
        ->Iterations(frames)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_H264FfmpegCli/" + name(q)).c_str(), BM_H264FfmpegCli, q)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  for (Quality q : allQualities)
    benchmark::RegisterBenchmark(("BM_H264Live/" + name(q)).c_str(), BM_H264Live, q)->Iterations(1)->UseRealTime();
  return true;
}();

}  // namespace
}  // namespace pellora
