#include "base/stall_detector.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "base/stall_tracking.h"
#include "base/thread_name.h"

#if PELLORA_HAVE_LIBBACKTRACE
#include <backtrace.h>
#endif

namespace pellora {
namespace {

using namespace std::chrono_literals;

constexpr int kMaxDepth = 16;     // nested invocations timed (a strand runs its handlers inside one invocation)
constexpr int kMaxFrames = 48;    // stack frames kept from a mid-stall sample
constexpr auto kWatchdogTick = 10ms;
constexpr int64_t kLimitNs = std::chrono::nanoseconds(StallDetector::kLimit).count();

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// The kernel's scheduler figures for one thread: time on a CPU and time runnable but waiting for one.
struct SchedTimes {
  int64_t onCpuNs = -1;
  int64_t runnableNs = -1;
};

SchedTimes readSchedTimes(int fd) {
  SchedTimes t;
  if (fd < 0) return t;
  char text[96];
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return t;
  text[n] = '\0';
  long long cpu = 0, waited = 0;
  if (std::sscanf(text, "%lld %lld", &cpu, &waited) == 2) t = {cpu, waited};
  return t;
}

struct Frame {
  stall::TrackedHandler info;
  int64_t startNs = 0;
  int64_t childNs = 0;  // wall time of nested invocations, not this handler's own
  SchedTimes sched;
};

// The state of one watched thread. The frames belong to that thread; the atomics are shared with the watchdog
// and with the sampling signal handler (which runs on the watched thread itself).
struct Watched {
  pthread_t thread{};
  int schedstat = -1;
  Frame frames[kMaxDepth];
  int depth = 0;

  std::atomic<int64_t> runningSinceNs{0};  // start of the innermost invocation's current stretch; 0 when idle
  std::atomic<uint64_t> epoch{0};          // moves on every invocation begin and end
  uint64_t requestedEpoch = ~uint64_t{0};  // the watchdog's: one sample per stretch

  void* sample[kMaxFrames];
  std::atomic<int> sampleSize{0};
  std::atomic<uint64_t> sampleEpoch{~uint64_t{0}};
};

constinit thread_local Watched* tlsWatched = nullptr;

int sampleSignal() { return SIGRTMIN + 3; }

void onSampleSignal(int) {
  const int saved = errno;
  if (Watched* w = tlsWatched) {
    const int n = backtrace(w->sample, kMaxFrames);
    w->sampleSize.store(n, std::memory_order_relaxed);
    w->sampleEpoch.store(w->epoch.load(std::memory_order_relaxed), std::memory_order_release);
  }
  errno = saved;
}

#if PELLORA_HAVE_LIBBACKTRACE
backtrace_state* symbolState() {
  static backtrace_state* state = backtrace_create_state(nullptr, 1, [](void*, const char*, int) {}, nullptr);
  return state;
}
#endif

std::string demangle(const char* symbol) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> text(abi::__cxa_demangle(symbol, nullptr, nullptr, &status),
                                                   &std::free);
  return status == 0 && text ? std::string(text.get()) : std::string(symbol);
}

// The function or object the address lies in, demangled; empty when the symbol table does not say.
std::string symbolAt(const void* address) {
#if PELLORA_HAVE_LIBBACKTRACE
  std::string name;
  if (backtrace_state* state = symbolState()) {
    backtrace_syminfo(
        state, reinterpret_cast<uintptr_t>(address),
        [](void* data, uintptr_t, const char* symbol, uintptr_t, uintptr_t) {
          if (symbol) *static_cast<std::string*>(data) = demangle(symbol);
        },
        [](void*, const char*, int) {}, &name);
  }
  return name;
#else
  (void)address;
  return {};
#endif
}

// The first entity of our own inside a demangled type or function name, e.g. the lambda inside
// "executor_op<binder0<pellora::Wire::start()::{lambda()#1}>, ...>".
std::string ownEntityIn(std::string_view text) {
  size_t from = 0;
  while ((from = text.find("pellora::", from)) != std::string_view::npos) {
    if (text.substr(from).starts_with("pellora::stall::")) {
      from += 9;
      continue;
    }
    int depth = 0;
    size_t end = from;
    for (; end < text.size(); ++end) {
      const char c = text[end];
      if (c == '<' || c == '(' || c == '{' || c == '[') ++depth;
      if (c == '>' || c == ')' || c == '}' || c == ']') {
        if (depth == 0) break;
        --depth;
      }
      if (c == ',' && depth == 0) break;
    }
    return std::string(text.substr(from, end - from));
  }
  return {};
}

std::string handlerName(const stall::TrackedHandler& info) {
  std::string name;
  if (info.trackedFile) {
    name = std::string(info.trackedFile) + ":" + std::to_string(info.trackedLine);
    if (info.trackedFunction) name += std::string(" ") + info.trackedFunction;
  } else if (info.trackedTag) {
    name = ownEntityIn(symbolAt(reinterpret_cast<const void*>(info.trackedTag)));
  }
  const std::string operation = info.trackedObject && info.trackedOperation
                                    ? std::string(info.trackedObject) + "." + info.trackedOperation
                                    : std::string();
  if (name.empty()) return operation.empty() ? std::string("an untracked handler") : operation;
  return operation.empty() ? name : name + " (" + operation + ")";
}

// A function's name without its parameter list (a coroutine's resume function spells its frame type there),
// marking a coroutine's body as such.
std::string withoutParameters(const std::string& symbol) {
  static constexpr std::string_view kAnonymous = "(anonymous namespace)";
  int depth = 0;
  for (size_t i = 0; i < symbol.size(); ++i) {
    if (symbol.compare(i, kAnonymous.size(), kAnonymous) == 0) {
      i += kAnonymous.size() - 1;
      continue;
    }
    if (symbol[i] == '<') ++depth;
    if (symbol[i] == '>') --depth;
    if (symbol[i] == '(' && depth == 0) {
      const bool coroutine = symbol.ends_with("[clone .actor]");
      return symbol.substr(0, i) + (coroutine ? " (coroutine)" : "()");
    }
  }
  return symbol;
}

// From a mid-stall sample: our innermost function, and the outside call it was in when that is not ours
// (a system call, a library).
std::string describeSample(void* const* frames, int size) {
  std::string innermost;
  for (int i = 0; i < size; ++i) {
    const std::string symbol = symbolAt(frames[i]);
    if (symbol.empty() || symbol.find("onSampleSignal") != std::string::npos ||
        symbol.find("__restore_rt") != std::string::npos || symbol == "backtrace")
      continue;
    std::string own = symbol.starts_with("pellora::") ? withoutParameters(symbol) : ownEntityIn(symbol);
    if (!own.empty()) return innermost.empty() ? own : own + " in " + innermost;
    if (innermost.empty()) innermost = withoutParameters(symbol);
  }
  return innermost;
}

// Watched threads, the sink, and the watchdog. Never destroyed: the watchdog runs until the process ends.
struct Registry {
  std::mutex mutex;
  std::vector<Watched*> watched;
  StallDetector::Sink sink;
  bool watchdogStarted = false;
  std::condition_variable wake;

  void startWatchdogLocked() {
    if (watchdogStarted) return;
    watchdogStarted = true;
    struct sigaction action {};
    action.sa_handler = onSampleSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(sampleSignal(), &action, nullptr);
    void* warm[2];
    backtrace(warm, 2);  // loads the unwinder now, not first inside the signal handler
    std::thread([this] { watchdog(); }).detach();
  }

  void watchdog() {
    setCurrentThreadName("pellora.stall");
    // Reads the symbol tables off the network thread, and beside the watchdog: in a large binary on a busy
    // machine that takes longer than a stall, which must still be sampled meanwhile.
    std::thread([] {
      setCurrentThreadName("pellora.symbols");
      (void)symbolAt(reinterpret_cast<const void*>(&monotonicNs));
    }).detach();
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait_for(lock, kWatchdogTick);
      const int64_t now = monotonicNs();
      for (Watched* w : watched) {
        const int64_t since = w->runningSinceNs.load(std::memory_order_acquire);
        if (since == 0 || now - since < kLimitNs) continue;
        const uint64_t epoch = w->epoch.load(std::memory_order_acquire);
        if (w->requestedEpoch == epoch) continue;
        w->requestedEpoch = epoch;
        pthread_kill(w->thread, sampleSignal());
      }
    }
  }
};

Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

void report(Watched& w, const Frame& frame, int64_t ownNs) {
  const SchedTimes now = readSchedTimes(w.schedstat);
  StallReport r;
  r.handler = handlerName(frame.info);
  r.held = std::chrono::nanoseconds(ownNs);
  if (now.runnableNs >= 0 && frame.sched.runnableNs >= 0) {
    r.runnable = std::chrono::nanoseconds(std::max<int64_t>(0, now.runnableNs - frame.sched.runnableNs));
    r.real = ownNs - r.runnable.count() >= kLimitNs;
  }
  if (w.sampleEpoch.load(std::memory_order_acquire) == w.epoch.load(std::memory_order_relaxed))
    r.where = describeSample(w.sample, w.sampleSize.load(std::memory_order_relaxed));

  const std::string text = r.line() + "\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());

  StallDetector::Sink sink;
  {
    std::lock_guard lock(registry().mutex);
    sink = registry().sink;
  }
  if (sink) sink(r);
}

bool switchedOnByEnvironment() {
  const char* value = std::getenv("PELLORA_STALL_REPORT");
#ifdef NDEBUG
  return value && *value && std::string_view(value) != "0";
#else
  return !value || std::string_view(value) != "0";
#endif
}

// Reporting follows the environment from the start, before any handler is created.
[[maybe_unused]] const bool gSwitchedOn = [] {
  if (switchedOnByEnvironment()) stall::reporting.store(true);
  return true;
}();

}  // namespace

std::string StallReport::line() const {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  std::string text = "pellora: stall: " + handler + " held the network thread " +
                     std::to_string(duration_cast<milliseconds>(held).count()) + " ms";
  if (!where.empty()) text += ", in " + where;
  if (!real)
    text += " (preempted: " + std::to_string(duration_cast<milliseconds>(runnable).count()) +
            " ms waiting for a CPU)";
  return text;
}

void StallDetector::enable() {
  stall::reporting.store(true);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (!r.watched.empty()) r.startWatchdogLocked();
}

bool StallDetector::enabled() { return stall::reporting.load(); }

StallDetector::WatchCurrentThread::WatchCurrentThread() {
  if (tlsWatched) return;
  owns_ = true;
  auto* w = new Watched;
  w->thread = pthread_self();
  w->schedstat = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.watched.push_back(w);
  tlsWatched = w;
  if (stall::reporting.load()) r.startWatchdogLocked();
}

StallDetector::WatchCurrentThread::~WatchCurrentThread() {
  Watched* w = tlsWatched;
  if (!owns_ || !w) return;
  tlsWatched = nullptr;  // first: a sample signal still on its way finds nothing to write to
  std::atomic_signal_fence(std::memory_order_seq_cst);
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);  // the watchdog signals only under the lock
    std::erase(r.watched, w);
  }
  if (w->schedstat >= 0) ::close(w->schedstat);
  delete w;
}

StallDetector::Sink StallDetector::setSink(Sink sink) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::swap(r.sink, sink);
  return sink;
}

namespace stall {

void recordCreation(TrackedHandler& handler, const char* object, const char* operation, void (*tag)()) noexcept {
  handler.trackedObject = object;
  handler.trackedOperation = operation;
  handler.trackedTag = tag;
  for (const Location* at = Location::top; at; at = at->next) {
    if (!at->file) continue;
    handler.trackedFile = at->file;
    handler.trackedLine = at->line;
    handler.trackedFunction = at->function;
    break;
  }
}

bool Completion::invocationBegin(const TrackedHandler& info) noexcept {
  Watched* w = tlsWatched;
  if (!w) return false;
  if (w->depth < kMaxDepth) {
    Frame& f = w->frames[w->depth];
    f.info = info;
    f.startNs = monotonicNs();
    f.childNs = 0;
    f.sched = readSchedTimes(w->schedstat);
    w->runningSinceNs.store(f.startNs, std::memory_order_release);
  }
  ++w->depth;
  w->epoch.fetch_add(1, std::memory_order_release);
  return true;
}

void Completion::invocationEnd() noexcept {
  Watched* w = tlsWatched;
  if (!w || w->depth == 0) return;
  const int index = --w->depth;
  if (index >= kMaxDepth) return;
  const Frame& f = w->frames[index];
  const int64_t ownNs = monotonicNs() - f.startNs - f.childNs;
  w->runningSinceNs.store(0, std::memory_order_release);  // no sample of the report itself
  if (ownNs >= kLimitNs) {
    try {
      report(*w, f, ownNs);
    } catch (...) {
      // out of memory while naming the handler: nothing more to say
    }
  }
  const int64_t now = monotonicNs();
  if (index > 0) w->frames[index - 1].childNs += now - f.startNs;
  w->runningSinceNs.store(index > 0 ? now : 0, std::memory_order_release);
  w->epoch.fetch_add(1, std::memory_order_release);
}

}  // namespace stall
}  // namespace pellora
