#pragma once

// A client connection to the PulseAudio (or PipeWire) sound server, with its own event thread.

#include <functional>
#include <memory>
#include <string>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace pellora {

struct PulseStreamFree {
  void operator()(pa_stream* s) const;
};
using PulseStream = std::unique_ptr<pa_stream, PulseStreamFree>;

// Owns the event thread and the context; streams made on it must be closed before it is destroyed.
// Stream callbacks run on the event thread with the loop locked; any other thread takes `Lock` first.
class PulseConnection {
 public:
  // Connects to `server` ("unix:/path"; empty: the user's default server) without spawning one.
  // `threadName` names the event thread. Throws TransportError.
  PulseConnection(const std::string& server, const char* threadName);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  class Lock {
   public:
    explicit Lock(PulseConnection& c);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // With the lock held: a stream of 48 kHz interleaved floats with `channels` channels, `connect` run on
  // it (returning the library's status), ready for use when this returns. Throws TransportError.
  PulseStream openStream(const char* name, int channels, const std::function<int(pa_stream*)>& connect);
  // With the lock held: disconnects `stream`, detaches its callbacks and frees it. No-op when empty.
  static void closeStream(PulseStream& stream);

 private:
  struct LoopFree {
    void operator()(pa_threaded_mainloop* m) const;
  };
  struct ContextFree {
    void operator()(pa_context* c) const;
  };

  [[noreturn]] void fail() const;
  void shutdown();

  std::unique_ptr<pa_threaded_mainloop, LoopFree> loop_;
  std::unique_ptr<pa_context, ContextFree> context_;  // after loop_: freed first, once the loop stopped
};

}  // namespace pellora
