#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace pellora {

// One decoded remote picture: BGRA (B, G, R, A in memory order), rows from the top. Immutable once
// published, so consumers on other threads may keep it as long as they like.
struct Picture {
  int width = 0, height = 0;
  int stride = 0;  // bytes per row
  std::vector<std::uint8_t> bgra;
  std::int64_t decodedMicros = 0;  // monotonic clock, when the picture was complete
};

// Hands the renderer's newest picture to whoever shows it (the remote screen widget, the headless
// viewer). Keeps only the newest: a slow consumer skips pictures instead of queueing them. `put` runs on
// the render queue; `take` from any thread; `onPicture` runs on the render queue after each `put` and must
// only schedule work (a repaint), never block.
class FrameSink {
 public:
  void put(std::shared_ptr<const Picture> picture) {
    std::function<void()> notify;
    {
      std::lock_guard lock(lock_);
      newest_ = std::move(picture);
      fresh_ = true;
      notify = onPicture_;
    }
    if (notify) notify();
  }
  // The newest picture if one arrived since the last take, else null.
  std::shared_ptr<const Picture> take() {
    std::lock_guard lock(lock_);
    if (!fresh_) return nullptr;
    fresh_ = false;
    return newest_;
  }
  // The newest picture, taken or not (a repaint after a resize).
  std::shared_ptr<const Picture> newest() const {
    std::lock_guard lock(lock_);
    return newest_;
  }
  void setOnPicture(std::function<void()> callback) {
    std::lock_guard lock(lock_);
    onPicture_ = std::move(callback);
  }

 private:
  mutable std::mutex lock_;
  std::shared_ptr<const Picture> newest_;
  bool fresh_ = false;
  std::function<void()> onPicture_;
};

}  // namespace pellora
