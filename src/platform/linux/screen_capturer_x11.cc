#include "platform/linux/screen_capturer_x11.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/transport_error.h"
#include "host/capture_size.h"
#include "host/cursor_image.h"
#include "host/frame_scaler.h"
#include "base/monotonic_clock.h"
#include "platform/linux/monitor_list_x11.h"
#include "platform/linux/pacing_loop.h"
#include "platform/linux/screen_grabber_x11.h"
#include "platform/linux/xcb_handles_x11.h"

namespace pellora {

namespace {

// Grabs need ZPixmap pixels of 32 bits in BGRA byte order, which every current X server uses at depth 24.
bool hasBGRAPixels(xcb_connection_t* c, const xcb_screen_t* screen) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == screen->root_depth) return it.data->bits_per_pixel == 32;
  }
  return false;
}

}  // namespace

// Everything one running capture needs. Shared between the capturer and its thread, so that a capturer
// destroyed from inside its own callback does not pull the state from under the thread.
struct ScreenCapturerX11::Session {
  x11::Connection connection;
  xcb_connection_t* c = nullptr;
  const xcb_screen_t* screen = nullptr;
  x11::Monitor monitor;
  int outputWidth = 0, outputHeight = 0;
  std::chrono::microseconds interval{};
  std::function<void(const CapturedFrame&)> onFrame;
  std::function<void(const std::string&)> onStop;

  bool haveCursor = false, haveDamage = false;
  std::uint8_t randrEvent = 0;  // first event code of RandR, 0 without it
  xcb_damage_damage_t damage = XCB_NONE;
  xcb_xfixes_region_t damageRegion = XCB_NONE;

  std::unique_ptr<x11::ScreenGrabber> grabber;  // declared after the connection: released first
  std::vector<std::uint8_t> previous;           // last grab, to spot changes without XDamage
  std::unique_ptr<FrameScaler> scaler;
  PixelRect lastCursor;
  std::uint32_t lastCursorSerial = 0;
  bool cursorPictureChanged = false;
  bool sendWhole = true;
  std::chrono::steady_clock::time_point nextMonitorCheck = std::chrono::steady_clock::now() + std::chrono::seconds(1);

  std::thread thread;
  PacingLoop pacing;

  void setUp();
  void configure(const PixelRect& rect);
  // One pacing step; returns false with `reason` set when the capture cannot go on.
  bool tick(std::string& reason);
  bool monitorStillThere(std::string& reason);
  std::vector<PixelRect> takeDamage();
  std::optional<CursorImage> cursor();
  bool isStopping() { return pacing.isStopping(); }
};

void ScreenCapturerX11::Session::setUp() {
  // Root geometry changes arrive as ConfigureNotify; monitor changes are also polled (see tick).
  const std::uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &rootEvents);
  if (x11::hasExtension(c, &xcb_randr_id)) {
    randrEvent = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xcb_randr_select_input(
        c, screen->root,
        XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
  if (x11::hasExtension(c, &xcb_xfixes_id)) {
    x11::Reply<xcb_xfixes_query_version_reply_t> v(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    haveCursor = v && v->major_version >= 2;  // regions and cursor images came with version 2
  }
  if (haveCursor && x11::hasExtension(c, &xcb_damage_id)) {
    x11::Reply<xcb_damage_query_version_reply_t> v(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (v) {
      damage = xcb_generate_id(c);
      damageRegion = xcb_generate_id(c);
      haveDamage =
          x11::succeeded(c, xcb_damage_create_checked(c, damage, screen->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY)) &&
          x11::succeeded(c, xcb_xfixes_create_region_checked(c, damageRegion, 0, nullptr));
    }
  }
}

// (Re)builds the grab buffer and the scaler for the monitor's current size; the output size never changes.
void ScreenCapturerX11::Session::configure(const PixelRect& rect) {
  monitor.rect = rect;
  grabber.reset();
  grabber = std::make_unique<x11::ScreenGrabber>(c, screen->root, rect);
  scaler = std::make_unique<FrameScaler>(rect.width, rect.height, outputWidth, outputHeight);
  previous.clear();
  sendWhole = true;
}

bool ScreenCapturerX11::Session::monitorStillThere(std::string& reason) {
  for (const x11::Monitor& m : x11::monitorsOf(c, screen)) {
    if (m.id != monitor.id) continue;
    if (m.rect != monitor.rect) configure(m.rect);
    return true;
  }
  reason = xcb_connection_has_error(c) ? "X server connection lost" : "display removed";
  return false;
}

// Changed rectangles since the last call, in monitor coordinates.
std::vector<PixelRect> ScreenCapturerX11::Session::takeDamage() {
  xcb_damage_subtract(c, damage, XCB_NONE, damageRegion);
  x11::Reply<xcb_xfixes_fetch_region_reply_t> region(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, damageRegion), nullptr));
  std::vector<PixelRect> rects;
  if (!region) return rects;
  const xcb_rectangle_t* r = xcb_xfixes_fetch_region_rectangles(region.get());
  for (int i = 0, n = xcb_xfixes_fetch_region_rectangles_length(region.get()); i < n; ++i) {
    PixelRect changed = intersect({r[i].x, r[i].y, r[i].width, r[i].height}, monitor.rect);
    if (changed.empty()) continue;
    changed.x -= monitor.rect.x;
    changed.y -= monitor.rect.y;
    rects.push_back(changed);
  }
  return rects;
}

std::optional<CursorImage> ScreenCapturerX11::Session::cursor() {
  x11::Reply<xcb_xfixes_get_cursor_image_reply_t> reply(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!reply) return std::nullopt;
  CursorImage image;
  image.x = reply->x - reply->xhot;
  image.y = reply->y - reply->yhot;
  image.width = reply->width;
  image.height = reply->height;
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
  const int count = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
  if (count < image.width * image.height) return std::nullopt;
  image.pixels.assign(pixels, pixels + static_cast<std::ptrdiff_t>(image.width) * image.height);
  cursorPictureChanged = reply->cursor_serial != lastCursorSerial;
  lastCursorSerial = reply->cursor_serial;
  return image;
}

bool ScreenCapturerX11::Session::tick(std::string& reason) {
  bool displaysChanged = false;
  while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
    const std::uint8_t type = event->response_type & 0x7F;
    if (type == XCB_CONFIGURE_NOTIFY || (randrEvent != 0 && (type == randrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                                             type == randrEvent + XCB_RANDR_NOTIFY))) {
      displaysChanged = true;
    }
  }
  // Servers do not announce every monitor change (RandR 1.5 monitors set by clients come without an event),
  // so the list is also read once a second.
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextMonitorCheck) {
    displaysChanged = true;
    nextMonitorCheck = now + std::chrono::seconds(1);
  }
  if (xcb_connection_has_error(c)) {
    reason = "X server connection lost";
    return false;
  }
  if (displaysChanged && !monitorStillThere(reason)) return false;

  // Damage is read before the grab: a change drawn in between is already in this picture and is reported
  // again with the next one, so no change goes unreported.
  std::vector<PixelRect> changed;
  if (haveDamage) changed = takeDamage();

  std::optional<CursorImage> pointer;
  if (haveCursor) pointer = cursor();
  PixelRect cursorNow;
  if (pointer) {
    cursorNow = intersect(pointer->bounds(), monitor.rect);
    cursorNow.x -= monitor.rect.x;
    cursorNow.y -= monitor.rect.y;
  }
  const bool cursorMoved = cursorNow != lastCursor || (pointer && cursorPictureChanged);
  if (cursorMoved) {
    changed.push_back(lastCursor);  // where it was: the grab shows what lies beneath
    changed.push_back(cursorNow);
  }

  if (haveDamage && !sendWhole && std::none_of(changed.begin(), changed.end(), [](auto& r) { return !r.empty(); })) {
    return true;  // nothing changed: no grab, no frame
  }
  std::uint8_t* pixels = grabber->grab();
  if (!pixels) {
    if (xcb_connection_has_error(c)) {
      reason = "X server connection lost";
      return false;
    }
    return true;  // a reconfiguration under way; its notification follows
  }
  lastCursor = cursorNow;

  const int stride = monitor.rect.width * 4;
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(monitor.rect.height);
  if (!haveDamage) {
    // Without damage reports the whole picture counts as changed whenever any pixel differs.
    const bool same = previous.size() == bytes && std::memcmp(previous.data(), pixels, bytes) == 0;
    if (same && !cursorMoved && !sendWhole) return true;
    previous.assign(pixels, pixels + bytes);
    sendWhole = true;
  }
  if (pointer) pointer->drawInto(pixels, stride, monitor.rect);

  CapturedFrame frame;
  frame.ptsMicros = monotonicMicros();
  frame.image = scaler->convert(pixels, stride);
  frame.dirty = sendWhole ? std::vector<PixelRect>{scaler->outputRect()} : scaler->toOutput(changed);
  sendWhole = false;
  if (onFrame && !isStopping()) onFrame(frame);
  return true;
}

ScreenCapturerX11::ScreenCapturerX11(std::string xDisplay) : xDisplay_(std::move(xDisplay)) {}

ScreenCapturerX11::~ScreenCapturerX11() { stop(); }

std::vector<DisplayInfo> ScreenCapturerX11::displays() {
  int screenNumber = 0;
  x11::Connection connection = x11::connect(xDisplay_, &screenNumber);
  if (!connection) return {};
  const xcb_screen_t* screen = x11::screenOf(connection.get(), screenNumber);
  if (!screen) return {};
  std::vector<DisplayInfo> list;
  for (const x11::Monitor& m : x11::monitorsOf(connection.get(), screen)) {
    list.push_back({m.id, static_cast<std::uint16_t>(std::clamp(m.rect.width, 0, 65535)),
                    static_cast<std::uint16_t>(std::clamp(m.rect.height, 0, 65535)), m.primary, m.name});
  }
  return list;
}

CaptureInfo ScreenCapturerX11::start(std::uint32_t displayID, int maxDimension, int fps) {
  stop();
  auto s = std::make_shared<Session>();
  int screenNumber = 0;
  s->connection = x11::connect(xDisplay_, &screenNumber);
  if (!s->connection) throw TransportError::connectFailed("no X server at " + x11::displayLabel(xDisplay_));
  s->c = s->connection.get();
  s->screen = x11::screenOf(s->c, screenNumber);
  if (!s->screen) throw TransportError::connectFailed("no X screen " + std::to_string(screenNumber));
  if (!hasBGRAPixels(s->c, s->screen)) throw TransportError::connectFailed("unsupported X pixel format");

  const std::vector<x11::Monitor> monitors = x11::monitorsOf(s->c, s->screen);
  const x11::Monitor* chosen = chooseDisplay(monitors, displayID);
  if (!chosen) throw TransportError::connectFailed("Ekran bulunamadı");
  s->monitor = *chosen;

  const PixelSize size = outputSize(s->monitor.rect.width, s->monitor.rect.height, std::max(maxDimension, 2));
  s->outputWidth = size.width;
  s->outputHeight = size.height;
  s->interval = std::chrono::microseconds(1'000'000 / std::clamp(fps, 1, 240));
  s->onFrame = onFrame;
  s->onStop = onStop;
  s->setUp();
  s->configure(s->monitor.rect);
  xcb_flush(s->c);

  session_ = s;
  s->thread = std::thread([s] {
    s->pacing.run(s->interval, [&s](std::string& reason) { return s->tick(reason); }, s->onStop);
  });
  return {s->outputWidth, s->outputHeight, s->monitor.rect};
}

void ScreenCapturerX11::stop() {
  std::shared_ptr<Session> s = std::move(session_);
  if (!s) return;
  s->pacing.stop(s->thread);
}

}  // namespace pellora
