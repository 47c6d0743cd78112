#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace pellora {

// The pacing of a capture thread: one step at a fixed interval until stopped, skipping the steps it fell
// behind on instead of bursting. Part of a capture session shared between the capturer and its thread;
// `run` runs on that thread, `stop` on the capturer's caller (or, from a callback, on the thread itself).
class PacingLoop {
 public:
  // Runs the steps until `stop`, or until a step returns false with a reason: then `onStop` is called with
  // it unless a stop came first. The callback may destroy the capturer; nothing is touched after it.
  void run(std::chrono::microseconds interval, const std::function<bool(std::string&)>& step,
           const std::function<void(const std::string&)>& onStop) {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
      }
      next += interval;
      const auto now = std::chrono::steady_clock::now();
      if (next < now) next = now;
      std::string reason;
      if (!step(reason)) {
        if (isStopping()) return;
        if (auto callback = onStop) callback(reason);
        return;
      }
    }
  }

  bool isStopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  // Ends the loop and waits for `thread`; called from the thread itself (a callback stopping its own
  // capture), it detaches instead: the thread ends on its own and keeps the session alive.
  void stop(std::thread& thread) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else if (thread.joinable()) {
      thread.join();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace pellora
