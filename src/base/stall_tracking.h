#pragma once

// Asio's handler-tracking hooks, pointed here by BOOST_ASIO_CUSTOM_HANDLER_TRACKING for every translation unit
// (the build sets it globally: the operation types below change layout, so every unit must agree). Each
// operation remembers what created it; each invocation on a watched thread is timed by StallDetector
// (stall_detector.h), which names any handler that holds the thread too long. While reporting is off, a hook
// costs one relaxed load and a few pointer copies.

#include <atomic>
#include <cstdint>

namespace boost::asio {
class execution_context;
}

namespace pellora::stall {

// Set once at start (environment) or by a test; read by every hook.
inline constinit std::atomic<bool> reporting{false};

// The innermost source location an operation is started from (async_read, async_connect, a use_awaitable
// token that carries one). A stack on each thread, held by scoped objects.
struct Location {
  Location(const char* atFile, int atLine, const char* inFunction) noexcept
      : file(atFile), line(atLine), function(inFunction), next(top) {
    top = this;
  }
  ~Location() { top = next; }
  Location(const Location&) = delete;
  Location& operator=(const Location&) = delete;

  const char* file;
  int line;
  const char* function;
  Location* next;
  static inline constinit thread_local Location* top = nullptr;
};

// What an operation was created for.
// Asio's operation base classes derive from this: the member names must not hide any of Asio's own.
struct TrackedHandler {
  const char* trackedObject = nullptr;     // "socket", "deadline_timer", "strand_executor", ...
  const char* trackedOperation = nullptr;  // "async_receive", "async_wait", "post", ...
  void (*trackedTag)() = nullptr;          // a symbol whose name spells the operation's type, handler included
  const char* trackedFile = nullptr;
  int trackedLine = 0;
  const char* trackedFunction = nullptr;
};

void recordCreation(TrackedHandler& handler, const char* object, const char* operation, void (*tag)()) noexcept;

// One per operation type; only its address is used, and its symbol names the type.
template <typename Op>
void operationTag() {}

template <typename Op>
inline void creation(boost::asio::execution_context&, Op& op, const char* object, void*, std::uintmax_t,
                     const char* operation) noexcept {
  if (reporting.load(std::memory_order_relaxed))
    recordCreation(op, object, operation, &operationTag<Op>);
}

// Scoped around one completion: copies what the operation recorded (the operation is freed before its handler
// runs) and times the handler's invocation.
class Completion {
 public:
  explicit Completion(const TrackedHandler& handler) noexcept : info_(handler) {}
  ~Completion() {
    if (begun_) end();
  }
  Completion(const Completion&) = delete;
  Completion& operator=(const Completion&) = delete;

  template <typename... Args>
  void begin(const Args&...) noexcept {
    if (reporting.load(std::memory_order_relaxed)) begun_ = invocationBegin(info_);
  }
  void end() noexcept {
    if (begun_) invocationEnd();
    begun_ = false;
  }

 private:
  static bool invocationBegin(const TrackedHandler& info) noexcept;
  static void invocationEnd() noexcept;

  TrackedHandler info_;
  bool begun_ = false;
};

}  // namespace pellora::stall

#define BOOST_ASIO_INHERIT_TRACKED_HANDLER : public ::pellora::stall::TrackedHandler
#define BOOST_ASIO_ALSO_INHERIT_TRACKED_HANDLER , public ::pellora::stall::TrackedHandler
#define BOOST_ASIO_HANDLER_TRACKING_INIT (void)0
#define BOOST_ASIO_HANDLER_LOCATION(args) ::pellora::stall::Location pelloraStallLocation args
#define BOOST_ASIO_HANDLER_CREATION(args) ::pellora::stall::creation args
#define BOOST_ASIO_HANDLER_COMPLETION(args) ::pellora::stall::Completion pelloraStallCompletion args
#define BOOST_ASIO_HANDLER_INVOCATION_BEGIN(args) pelloraStallCompletion.begin args
#define BOOST_ASIO_HANDLER_INVOCATION_END pelloraStallCompletion.end()
#define BOOST_ASIO_HANDLER_OPERATION(args) (void)0
#define BOOST_ASIO_HANDLER_REACTOR_REGISTRATION(args) (void)0
#define BOOST_ASIO_HANDLER_REACTOR_DEREGISTRATION(args) (void)0
#define BOOST_ASIO_HANDLER_REACTOR_READ_EVENT 1
#define BOOST_ASIO_HANDLER_REACTOR_WRITE_EVENT 2
#define BOOST_ASIO_HANDLER_REACTOR_ERROR_EVENT 4
#define BOOST_ASIO_HANDLER_REACTOR_EVENTS(args) (void)0
#define BOOST_ASIO_HANDLER_REACTOR_OPERATION(args) (void)0
