#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace pellora {

// One handler that held a watched thread longer than StallDetector::kLimit.
struct StallReport {
  std::string handler;  // file:line and function where known, else the handler's type, else the operation
  std::string where;    // what the thread was running when it was sampled mid-stall; empty when not sampled
  std::chrono::nanoseconds held{};      // the handler's own wall time, nested handlers excluded
  std::chrono::nanoseconds runnable{};  // of the invocation, time spent ready but waiting for a CPU
  // Held the thread for kLimit even after taking away the time it waited for a CPU: it computed or blocked
  // that long itself. Otherwise the scheduler preempted it (a loaded machine), which is reported but is no
  // fault of the handler.
  bool real = true;

  std::string line() const;  // the one line written to stderr
};

// Times every handler that Asio runs on a watched thread — the network thread: its io_context, the main strand
// and every wire strand — and reports each one that held the thread longer than kLimit, by name, on stderr.
// The hooks are compiled into every build (stall_tracking.h); reporting is off unless PELLORA_STALL_REPORT is
// set in the environment (any value but "0"), enable() is called, or the build is a debug build. While it is
// on, a watchdog thread samples the stack of a handler that passes the limit, so that a stalled coroutine is
// named by the function it is stuck in.
//
// Thread-safe; the sink is called on the watched thread, after the line is written.
class StallDetector {
 public:
  static constexpr std::chrono::milliseconds kLimit{50};

  static void enable();
  static bool enabled();

  // Held by the thread that runs the network io_context while it runs it. A thread watched past its end would
  // be signalled after it is gone, so the watch is scoped.
  class WatchCurrentThread {
   public:
    WatchCurrentThread();
    ~WatchCurrentThread();
    WatchCurrentThread(const WatchCurrentThread&) = delete;
    WatchCurrentThread& operator=(const WatchCurrentThread&) = delete;

   private:
    bool owns_ = false;  // false when the thread was already watched
  };

  using Sink = std::function<void(const StallReport&)>;
  // Returns the sink that was installed before (empty by default).
  static Sink setSink(Sink sink);
};

}  // namespace pellora
