// Cost of one X11 screen grab at 1920x1080 on a private Xvfb (shared memory, and plain GetImage for
// comparison), and of the grab plus the I420 conversion a captured frame goes through (at 1920x1080 and
// 1280x720), each beside a plain memcpy of the same bytes. wayland_capture_bench.cc, in the same program,
// compares the Wayland capturer with the grab plus conversion and the memcpys here.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/frame_scaler.h"
#include "platform/linux/screen_grabber_x11.h"
#include "support/xvfb.h"

namespace pellora {
namespace {

constexpr std::size_t pictureBytes(int width, int height) { return std::size_t{4} * width * height; }

// A server with something on its screen, and a connection to it.
struct Screen {
  Screen(int w, int h, std::vector<std::string> arguments)
      : width(w), height(h), xvfb(w, h, std::move(arguments)) {
    c = xcb_connect(xvfb.display().c_str(), nullptr);
    root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, root, 0, nullptr);
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t colour = 0x10305070u * static_cast<std::uint32_t>(i + 1);
      xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
      const xcb_rectangle_t r{static_cast<std::int16_t>(i * 29), static_cast<std::int16_t>(i * 16), 400, 300};
      xcb_poly_fill_rectangle(c, root, gc, 1, &r);
    }
    xcb_free_gc(c, gc);
    xcb_flush(c);
  }
  ~Screen() { xcb_disconnect(c); }
  int width, height;
  test::Xvfb xvfb;
  xcb_connection_t* c = nullptr;
  xcb_window_t root = XCB_NONE;
};

Screen& withShm() {
  static Screen screen(1920, 1080, {});
  return screen;
}
Screen& withShm720p() {
  static Screen screen(1280, 720, {});
  return screen;
}
Screen& withoutShm() {
  static Screen screen(1920, 1080, {"-extension", "MIT-SHM"});
  return screen;
}

void grabLoop(benchmark::State& state, Screen& screen, FrameScaler* scaler) {
  x11::ScreenGrabber grabber(screen.c, screen.root, {0, 0, screen.width, screen.height});
  for (auto _ : state) {
    std::uint8_t* pixels = grabber.grab();
    if (!pixels) {
      state.SkipWithError("grab refused");
      break;
    }
    if (scaler) {
      auto frame = scaler->convert(pixels, screen.width * 4);
      benchmark::DoNotOptimize(frame);
    }
    benchmark::DoNotOptimize(pixels);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pictureBytes(screen.width, screen.height)));
  state.counters["shm"] = grabber.usesSharedMemory() ? 1 : 0;
}

void BM_X11GrabShm1080p(benchmark::State& state) {
  grabLoop(state, withShm(), nullptr);
  state.SetLabel("ref=BM_Memcpy1080p metric=time");
}

void BM_X11GrabGetImage1080p(benchmark::State& state) {
  grabLoop(state, withoutShm(), nullptr);
  state.SetLabel("ref=BM_Memcpy1080p metric=time");
}

void BM_X11GrabToI420_1080p(benchmark::State& state) {
  FrameScaler scaler(1920, 1080, 1920, 1080);
  grabLoop(state, withShm(), &scaler);
  state.SetLabel("ref=BM_Memcpy1080p metric=time");
}

void BM_X11GrabToI420Scaled720p(benchmark::State& state) {
  FrameScaler scaler(1920, 1080, 1280, 720);
  grabLoop(state, withShm(), &scaler);
  state.SetLabel("ref=BM_Memcpy1080p metric=time");
}

void BM_X11GrabToI420_720p(benchmark::State& state) {
  FrameScaler scaler(1280, 720, 1280, 720);
  grabLoop(state, withShm720p(), &scaler);
  state.SetLabel("ref=BM_Memcpy720p metric=time");
}

void memcpyLoop(benchmark::State& state, std::size_t bytes) {
  std::vector<std::uint8_t> from(bytes, 7), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_Memcpy1080p(benchmark::State& state) { memcpyLoop(state, pictureBytes(1920, 1080)); }
void BM_Memcpy720p(benchmark::State& state) { memcpyLoop(state, pictureBytes(1280, 720)); }

BENCHMARK(BM_X11GrabShm1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_X11GrabGetImage1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_X11GrabToI420_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_X11GrabToI420Scaled720p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_X11GrabToI420_720p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy720p)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pellora
