// The GUI thread's cost of presenting one remote picture in the session window: take the newest picture
// from the sink, wrap it, and paint it (scaled to the window, or one to one), beside a plain copy of the
// same bytes. Painted into an image on Qt's offscreen platform, as the raster backing store does on X11.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>

#include "ui/remote_screen.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr std::size_t kBytes = std::size_t{kWidth} * kHeight * 4;

QApplication& application() {
  static int argc = 1;
  static char name[] = "remote_screen_bench";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication app(argc, argv);
  return app;
}

class NoInput final : public pellora::ui::RemoteInput {
 public:
  void mouseMove(float, float) override {}
  void mouseButton(pellora::MouseButton, bool, std::uint8_t, float, float) override {}
  void scroll(float, float) override {}
  void key(std::uint16_t, bool) override {}
  void releaseKeys() override {}
};

std::shared_ptr<const pellora::Picture> picture(std::uint8_t shade) {
  auto p = std::make_shared<pellora::Picture>();
  p->width = kWidth;
  p->height = kHeight;
  p->stride = kWidth * 4;
  p->bgra.assign(kBytes, shade);
  return p;
}

void present(benchmark::State& state, int viewWidth, int viewHeight) {
  application();
  auto sink = std::make_shared<pellora::FrameSink>();
  pellora::ui::RemoteScreen screen(sink, std::make_shared<NoInput>());
  screen.resize(viewWidth, viewHeight);
  screen.setVideoSize(kWidth, kHeight);
  QImage target(viewWidth, viewHeight, QImage::Format_RGB32);
  const auto pictures = std::array{picture(40), picture(200)};
  std::size_t next = 0;
  for (auto _ : state) {
    sink->put(pictures[next++ % pictures.size()]);
    screen.render(&target);
    benchmark::DoNotOptimize(target.constBits());
    benchmark::ClobberMemory();
  }
  QCoreApplication::processEvents();  // the queued repaint requests
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_PresentFitted1080pIn1280x720(benchmark::State& state) {
  present(state, 1280, 720);
  state.SetLabel("ref=BM_CopyPicture1080p metric=time");
}

void BM_PresentRealSize1080p(benchmark::State& state) {
  present(state, kWidth, kHeight);
  state.SetLabel("ref=BM_CopyPicture1080p metric=time");
}

// The reference: the same picture's bytes copied once into a picture of the same size.
void BM_CopyPicture1080p(benchmark::State& state) {
  const auto from = picture(40);
  pellora::Picture to = *from;
  for (auto _ : state) {
    std::copy(from->bgra.begin(), from->bgra.end(), to.bgra.begin());
    benchmark::DoNotOptimize(to.bgra.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

}  // namespace

BENCHMARK(BM_PresentFitted1080pIn1280x720)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PresentRealSize1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyPicture1080p)->Unit(benchmark::kMillisecond);
