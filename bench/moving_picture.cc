#include "moving_picture.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <vector>

namespace pellora::bench {

namespace {

// Per frame: this many solid blocks and noise tiles, at new places.
constexpr int kBlocks = 400;
constexpr int kTiles = 8;
constexpr int kTileSide = 128;  // 64 KiB a tile: one plain request, no BIG-REQUESTS needed

}  // namespace

MovingPicture::MovingPicture(const std::string& display, int fps) : c_(xcb_connect(display.c_str(), nullptr)) {
  if (xcb_connection_has_error(c_)) {
    xcb_disconnect(c_);
    throw std::runtime_error("cannot connect to " + display);
  }
  painter_ = std::thread([this, fps] { paintLoop(fps); });
}

MovingPicture::~MovingPicture() {
  stopping_ = true;
  painter_.join();
  xcb_disconnect(c_);
}

void MovingPicture::paintLoop(int fps) {
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  const xcb_window_t root = screen->root;
  const int width = screen->width_in_pixels, height = screen->height_in_pixels;
  const xcb_gcontext_t gc = xcb_generate_id(c_);
  xcb_create_gc(c_, gc, root, 0, nullptr);

  std::mt19937 random(17);
  // Tiles are windows into a pool of noise twice their size, so that no two look alike.
  std::vector<std::uint32_t> noise(4 * kTileSide * kTileSide);
  for (auto& p : noise) p = random() & 0xffffff;
  std::vector<std::uint32_t> tile(kTileSide * kTileSide);
  const auto at = [&](int limit) { return static_cast<std::int16_t>(random() % static_cast<unsigned>(limit)); };

  const auto interval = std::chrono::microseconds(1'000'000 / fps);
  auto next = std::chrono::steady_clock::now();
  while (!stopping_) {
    for (int i = 0; i < kBlocks; ++i) {
      const std::uint32_t colour = random() & 0xffffff;
      xcb_change_gc(c_, gc, XCB_GC_FOREGROUND, &colour);
      const auto side = static_cast<std::uint16_t>(8 + random() % 56);
      const xcb_rectangle_t r{at(width), at(height), side, static_cast<std::uint16_t>(8 + random() % 56)};
      xcb_poly_fill_rectangle(c_, root, gc, 1, &r);
    }
    for (int i = 0; i < kTiles; ++i) {
      const std::size_t offset = random() % (noise.size() - tile.size());
      std::copy_n(noise.begin() + static_cast<std::ptrdiff_t>(offset), tile.size(), tile.begin());
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root, gc, kTileSide, kTileSide, at(width - kTileSide),
                    at(height - kTileSide), 0, 24, static_cast<std::uint32_t>(tile.size() * 4),
                    reinterpret_cast<const std::uint8_t*>(tile.data()));
    }
    // A round trip per frame, so that the painter never runs ahead of the server.
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    if (xcb_connection_has_error(c_)) return;
    next += interval;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;  // a loaded machine paints fewer frames instead of catching up in a burst
    std::this_thread::sleep_until(next);
  }
  xcb_free_gc(c_, gc);
  xcb_flush(c_);
}

}  // namespace pellora::bench
