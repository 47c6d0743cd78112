#include "platform/linux/screen_capturer_pipewire.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/transport_error.h"
#include "host/capture_size.h"
#include "host/cursor_image.h"
#include "host/frame_scaler.h"
#include "base/monotonic_clock.h"
#include "platform/linux/pacing_loop.h"

namespace pellora {

namespace {

constexpr int maxDamageRects = 32;
constexpr int maxCursorSide = 1024;
constexpr int cursorMetaSize(int side) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

struct ThreadLoopDeleter {
  void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreDeleter {
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct StreamDeleter {
  void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

// Holds the thread loop's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

// A cursor bitmap of the stream (RGBA or BGRA bytes, straight or premultiplied as the compositor sends
// them; GNOME sends premultiplied) as premultiplied ARGB words.
std::vector<std::uint32_t> cursorPixels(const spa_meta_bitmap& bitmap, const std::uint8_t* bytes) {
  const int w = static_cast<int>(bitmap.size.width), h = static_cast<int>(bitmap.size.height);
  const bool rgba = bitmap.format == SPA_VIDEO_FORMAT_RGBA;
  std::vector<std::uint32_t> out(static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = bytes + static_cast<std::ptrdiff_t>(y) * bitmap.stride;
    for (int x = 0; x < w; ++x) {
      const std::uint8_t* p = row + x * 4;
      const std::uint32_t r = rgba ? p[0] : p[2], g = p[1], b = rgba ? p[2] : p[0], a = p[3];
      out[static_cast<std::size_t>(y) * w + x] = a << 24 | r << 16 | g << 8 | b;
    }
  }
  return out;
}

}  // namespace

// Everything one running capture needs. PipeWire delivers buffers on its loop thread, which copies the
// newest picture and gathers damage and cursor; the pacing thread turns them into frames. Shared between
// the capturer and its threads, so that a capturer destroyed from its own callback does not pull the state
// from under them.
struct ScreenCapturerPipeWire::Session {
  std::shared_ptr<RemoteDesktopSession> desktop;
  PixelRect monitorRect;  // global layout
  int outputWidth = 0, outputHeight = 0;
  std::chrono::microseconds interval{};
  std::function<void(const CapturedFrame&)> onFrame;
  std::function<void(const std::string&)> onStop;

  std::unique_ptr<pw_thread_loop, ThreadLoopDeleter> loop;
  std::unique_ptr<pw_context, ContextDeleter> context;
  std::unique_ptr<pw_core, CoreDeleter> core;
  std::unique_ptr<pw_stream, StreamDeleter> stream;
  spa_hook streamListener{};

  PacingLoop pacing;
  // Shared between the loop thread and the pacing thread, under `mutex`.
  std::mutex mutex;
  std::string streamFailure;      // set when the stream fails or disconnects
  int width = 0, height = 0;      // negotiated picture size
  std::vector<std::uint8_t> picture;  // newest picture, rows of width × 4 bytes
  bool pictureChanged = false;
  bool wholeChanged = true;       // a buffer without damage metadata, or a new size
  std::vector<PixelRect> damage;  // since the last frame, in picture coordinates
  std::optional<CursorImage> cursor;  // in picture coordinates
  bool cursorChanged = false;
  int hotspotX = 0, hotspotY = 0;  // of the last cursor bitmap

  // The pacing thread's own state.
  std::unique_ptr<FrameScaler> scaler;
  std::vector<std::uint8_t> work;
  PixelRect lastCursor;
  std::thread thread;

  ~Session() { closeStream(); }

  // The stream and the connection go while the loop still runs, under its lock: then no callback runs
  // meanwhile, and none can start on PipeWire's data thread. (A stopped loop would let that thread call
  // `process` itself, on a stream being destroyed.) Only then does the loop stop.
  void closeStream() {
    if (!loop) return;
    {
      LoopLock lock(loop.get());
      stream.reset();
      core.reset();
    }
    pw_thread_loop_stop(loop.get());
  }

  void connectStream(std::uint32_t node, int fps);
  void onParamChanged(std::uint32_t id, const spa_pod* param);
  void onProcess();
  // One pacing step; false with `reason` set when the capture cannot go on.
  bool tick(std::string& reason);
  bool isStopping() { return pacing.isStopping(); }
};

void ScreenCapturerPipeWire::Session::connectStream(std::uint32_t node, int fps) {
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
      auto* s = static_cast<Session*>(data);
      if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED) return;
      std::lock_guard lock(s->mutex);
      if (s->streamFailure.empty()) s->streamFailure = error && *error ? error : "screen cast stream ended";
    };
    e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
      static_cast<Session*>(data)->onParamChanged(id, param);
    };
    e.process = [](void* data) { static_cast<Session*>(data)->onProcess(); };
    return e;
  }();

  LoopLock lock(loop.get());
  stream.reset(pw_stream_new(core.get(), "pellora-screen",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
  if (!stream) throw TransportError::connectFailed("cannot create a PipeWire stream");
  pw_stream_add_listener(stream.get(), &streamListener, &events, this);

  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const spa_rectangle defaultSize = SPA_RECTANGLE(static_cast<std::uint32_t>(monitorRect.width),
                                                  static_cast<std::uint32_t>(monitorRect.height));
  const spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384);
  const spa_fraction defaultRate = SPA_FRACTION(static_cast<std::uint32_t>(fps), 1);
  const spa_fraction minRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(240, 1);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
  if (pw_stream_connect(stream.get(), PW_DIRECTION_INPUT, node, flags, params, 1) < 0) {
    throw TransportError::connectFailed("cannot connect to the screen cast stream");
  }
}

// The format is settled: ask for memory buffers the CPU can read, with damage and cursor metadata.
void ScreenCapturerPipeWire::Session::onParamChanged(std::uint32_t id, const spa_pod* param) {
  if (param == nullptr || id != SPA_PARAM_Format) return;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  {
    std::lock_guard lock(mutex);
    width = static_cast<int>(info.size.width);
    height = static_cast<int>(info.size.height);
    wholeChanged = true;
  }
  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const spa_pod* params[4];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * maxDamageRects, sizeof(spa_meta_region),
                               sizeof(spa_meta_region) * maxDamageRects)));
  params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1), cursorMetaSize(maxCursorSide))));
  pw_stream_update_params(stream.get(), params, 4);
}

// On the loop thread: keeps the newest picture and what changed since the last frame.
void ScreenCapturerPipeWire::Session::onProcess() {
  // Only the newest buffer matters; older ones go straight back.
  pw_buffer* newest = nullptr;
  while (pw_buffer* next = pw_stream_dequeue_buffer(stream.get())) {
    if (newest) pw_stream_queue_buffer(stream.get(), newest);
    newest = next;
  }
  if (!newest) return;
  spa_buffer* buffer = newest->buffer;

  std::lock_guard lock(mutex);
  if (auto* cursorMeta = static_cast<spa_meta_cursor*>(spa_buffer_find_meta_data(buffer, SPA_META_Cursor,
                                                                                  sizeof(spa_meta_cursor)))) {
    if (spa_meta_cursor_is_valid(cursorMeta)) {
      CursorImage next = cursor.value_or(CursorImage{});
      if (cursorMeta->bitmap_offset >= sizeof(spa_meta_cursor)) {
        auto* bitmap = SPA_PTROFF(cursorMeta, cursorMeta->bitmap_offset, spa_meta_bitmap);
        if (bitmap->size.width > 0 && bitmap->size.height > 0 && bitmap->size.width <= maxCursorSide &&
            bitmap->size.height <= maxCursorSide && bitmap->stride >= static_cast<int>(bitmap->size.width) * 4) {
          next.pixels = cursorPixels(*bitmap, SPA_PTROFF(bitmap, bitmap->offset, std::uint8_t));
          next.width = static_cast<int>(bitmap->size.width);
          next.height = static_cast<int>(bitmap->size.height);
          cursorChanged = true;
        }
        // The hot spot comes with the bitmap; the position is the pointer's tip.
        next.x = cursorMeta->position.x - cursorMeta->hotspot.x;
        next.y = cursorMeta->position.y - cursorMeta->hotspot.y;
        hotspotX = cursorMeta->hotspot.x;
        hotspotY = cursorMeta->hotspot.y;
      } else {
        next.x = cursorMeta->position.x - hotspotX;
        next.y = cursorMeta->position.y - hotspotY;
      }
      if (!cursor || next.x != cursor->x || next.y != cursor->y) cursorChanged = true;
      cursor = std::move(next);
    } else if (cursor) {
      cursor.reset();  // the pointer left the monitor
      cursorChanged = true;
    }
  }

  const spa_data& data = buffer->datas[0];
  const bool hasPicture = buffer->n_datas > 0 && data.data != nullptr && data.chunk->size > 0 && width > 0 &&
                          height > 0 && data.chunk->stride >= width * 4 &&
                          static_cast<std::uint64_t>(data.chunk->offset) +
                                  static_cast<std::uint64_t>(data.chunk->stride) * (height - 1) + width * 4 <=
                              data.maxsize;
  if (hasPicture) {
    const auto* source = SPA_PTROFF(data.data, data.chunk->offset, const std::uint8_t);
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    picture.resize(row * height);
    for (int y = 0; y < height; ++y) {
      std::memcpy(picture.data() + row * y, source + static_cast<std::ptrdiff_t>(data.chunk->stride) * y, row);
    }
    pictureChanged = true;
    spa_meta* damageMeta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
    if (!damageMeta) {
      wholeChanged = true;
    } else {
      spa_meta_region* region;
      spa_meta_for_each(region, damageMeta) {
        if (!spa_meta_region_is_valid(region)) break;
        damage.push_back({region->region.position.x, region->region.position.y,
                          static_cast<int>(region->region.size.width), static_cast<int>(region->region.size.height)});
      }
    }
  }
  pw_stream_queue_buffer(stream.get(), newest);
}

bool ScreenCapturerPipeWire::Session::tick(std::string& reason) {
  if (desktop->pollClosed()) {
    reason = "screen cast session closed";
    return false;
  }
  std::vector<PixelRect> changed;
  std::optional<CursorImage> pointer;
  bool whole = false;
  int w = 0, h = 0;
  {
    std::lock_guard lock(mutex);
    if (!streamFailure.empty()) {
      reason = streamFailure;
      return false;
    }
    if (!pictureChanged && !cursorChanged) return true;
    if (picture.empty()) return true;  // only cursor news before the first picture
    w = width;
    h = height;
    if (picture.size() != static_cast<std::size_t>(w) * h * 4) return true;
    work = picture;
    whole = wholeChanged;
    changed = std::move(damage);
    damage.clear();
    pointer = cursor;
    pictureChanged = cursorChanged = wholeChanged = false;
  }
  if (!scaler || scaler->sourceWidth() != w || scaler->sourceHeight() != h) {
    scaler = std::make_unique<FrameScaler>(w, h, outputWidth, outputHeight);
    whole = true;
  }
  const PixelRect pictureRect{0, 0, w, h};
  PixelRect cursorNow;
  if (pointer) cursorNow = pointer->drawInto(work.data(), w * 4, pictureRect);
  if (cursorNow != lastCursor) {
    changed.push_back(lastCursor);  // where it was: the picture shows what lies beneath
    changed.push_back(cursorNow);
  }
  lastCursor = cursorNow;
  for (PixelRect& r : changed) r = intersect(r, pictureRect);
  std::erase_if(changed, [](const PixelRect& r) { return r.empty(); });
  if (!whole && changed.empty()) return true;

  CapturedFrame frame;
  frame.ptsMicros = monotonicMicros();
  frame.image = scaler->convert(work.data(), w * 4);
  frame.dirty = whole ? std::vector<PixelRect>{scaler->outputRect()} : scaler->toOutput(changed);
  if (onFrame && !isStopping()) onFrame(frame);
  return true;
}

ScreenCapturerPipeWire::ScreenCapturerPipeWire(std::shared_ptr<WaylandDesktop> desktop)
    : desktop_(std::move(desktop)) {}

ScreenCapturerPipeWire::~ScreenCapturerPipeWire() { stop(); }

std::vector<DisplayInfo> ScreenCapturerPipeWire::displays() { return desktop_->displays(); }

CaptureInfo ScreenCapturerPipeWire::start(std::uint32_t displayID, int maxDimension, int fps) {
  stop();
  initPipeWire();
  auto s = std::make_shared<Session>();
  s->desktop = desktop_->open(displayID);
  s->monitorRect = s->desktop->streamRect();
  const PixelSize size = outputSize(s->monitorRect.width, s->monitorRect.height, std::max(maxDimension, 2));
  s->outputWidth = size.width;
  s->outputHeight = size.height;
  fps = std::clamp(fps, 1, 240);
  s->interval = std::chrono::microseconds(1'000'000 / fps);
  s->onFrame = onFrame;
  s->onStop = onStop;

  s->loop.reset(pw_thread_loop_new("pellora-capture", nullptr));
  if (!s->loop) throw TransportError::connectFailed("cannot create a PipeWire loop");
  s->context.reset(pw_context_new(pw_thread_loop_get_loop(s->loop.get()), nullptr, 0));
  if (!s->context) throw TransportError::connectFailed("cannot create a PipeWire context");
  if (pw_thread_loop_start(s->loop.get()) < 0) throw TransportError::connectFailed("cannot start a PipeWire loop");
  {
    LoopLock lock(s->loop.get());
    // A remote handed over by the portal, else the user's own server.
    // PipeWire closes a given descriptor itself, on failure too.
    UniqueFd remote = s->desktop->takePipeWireRemote();
    s->core.reset(remote ? pw_context_connect_fd(s->context.get(), remote.release(), nullptr, 0)
                         : pw_context_connect(s->context.get(), nullptr, 0));
  }
  if (!s->core) throw TransportError::connectFailed("no PipeWire server");
  s->connectStream(s->desktop->pipeWireNode(), fps);

  session_ = s;
  desktop_->publish(s->desktop);
  s->thread = std::thread([s] {
    s->pacing.run(s->interval, [&s](std::string& reason) { return s->tick(reason); }, s->onStop);
  });
  return {s->outputWidth, s->outputHeight, s->monitorRect};
}

void ScreenCapturerPipeWire::stop() {
  std::shared_ptr<Session> s = std::move(session_);
  if (!s) return;
  desktop_->withdraw(s->desktop.get());
  s->pacing.stop(s->thread);
  s->closeStream();
}

}  // namespace pellora
