#include "platform/linux/screen_grabber_x11.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include "platform/linux/monitor_list_x11.h"

namespace pellora::x11 {

// A shared-memory segment the server writes grabs into. Must go before its connection.
class ScreenGrabber::SharedMemory {
 public:
  static std::unique_ptr<SharedMemory> create(xcb_connection_t* c, std::size_t size) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return nullptr;
    }
    std::unique_ptr<SharedMemory> buffer(new SharedMemory(c, static_cast<std::uint8_t*>(address), size));
    const bool attached = succeeded(c, xcb_shm_attach_checked(c, buffer->segment_, id, 0));
    // Marked for removal now, so that the kernel frees it once both sides have detached, even on a crash.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
      buffer->segment_ = XCB_NONE;
      return nullptr;
    }
    return buffer;
  }
  ~SharedMemory() {
    if (segment_ != XCB_NONE) xcb_shm_detach(connection_, segment_);
    shmdt(data_);
  }
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  xcb_shm_seg_t segment() const { return segment_; }

 private:
  SharedMemory(xcb_connection_t* c, std::uint8_t* data, std::size_t size)
      : connection_(c), segment_(xcb_generate_id(c)), data_(data), size_(size) {}
  xcb_connection_t* connection_;
  xcb_shm_seg_t segment_;
  std::uint8_t* data_;
  std::size_t size_;
};

ScreenGrabber::ScreenGrabber(xcb_connection_t* c, xcb_window_t root, PixelRect rect) : c_(c), root_(root), rect_(rect) {
  if (!hasExtension(c, &xcb_shm_id)) return;
  Reply<xcb_shm_query_version_reply_t> version(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (version) {
    shm_ = SharedMemory::create(c, static_cast<std::size_t>(rect.width) * static_cast<std::size_t>(rect.height) * 4);
  }
}

ScreenGrabber::~ScreenGrabber() = default;

std::uint8_t* ScreenGrabber::grab() {
  const PixelRect& r = rect_;
  const std::size_t bytes = static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height) * 4;
  const auto x = static_cast<std::int16_t>(r.x), y = static_cast<std::int16_t>(r.y);
  const auto width = static_cast<std::uint16_t>(r.width), height = static_cast<std::uint16_t>(r.height);
  if (shm_) {
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        c_, xcb_shm_get_image(c_, root_, x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->segment(), 0),
        nullptr));
    return reply && reply->size >= bytes ? shm_->data() : nullptr;
  }
  plainImage_.reset(
      xcb_get_image_reply(c_, xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, x, y, width, height, ~0u), nullptr));
  if (!plainImage_ || static_cast<std::size_t>(xcb_get_image_data_length(plainImage_.get())) < bytes) return nullptr;
  return xcb_get_image_data(plainImage_.get());
}

}  // namespace pellora::x11
