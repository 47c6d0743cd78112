#include "platform/linux/pulse_connection.h"

#include <pulse/pulseaudio.h>

#include "core/opus_codec.h"
#include "core/transport_error.h"

namespace pellora {

namespace {
void signalLoop(void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }
}  // namespace

void PulseStreamFree::operator()(pa_stream* s) const { pa_stream_unref(s); }
void PulseConnection::LoopFree::operator()(pa_threaded_mainloop* m) const {
  pa_threaded_mainloop_stop(m);
  pa_threaded_mainloop_free(m);
}
void PulseConnection::ContextFree::operator()(pa_context* c) const { pa_context_unref(c); }

PulseConnection::Lock::Lock(PulseConnection& c) : loop_(c.loop_.get()) { pa_threaded_mainloop_lock(loop_); }
PulseConnection::Lock::~Lock() { pa_threaded_mainloop_unlock(loop_); }

PulseConnection::PulseConnection(const std::string& server, const char* threadName) {
  loop_.reset(pa_threaded_mainloop_new());
  if (!loop_) throw TransportError::connectFailed(pa_strerror(PA_ERR_INTERNAL));
  pa_threaded_mainloop_set_name(loop_.get(), threadName);
  context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), "Pellora"));
  if (!context_) throw TransportError::connectFailed(pa_strerror(PA_ERR_INTERNAL));
  pa_context_set_state_callback(
      context_.get(), [](pa_context*, void* loop) { signalLoop(loop); }, loop_.get());
  if (pa_context_connect(context_.get(), server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0)
    fail();
  if (pa_threaded_mainloop_start(loop_.get()) < 0) throw TransportError::connectFailed(pa_strerror(PA_ERR_INTERNAL));
  try {
    Lock lock(*this);
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(context_.get());
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state)) fail();
      pa_threaded_mainloop_wait(loop_.get());
    }
  } catch (...) {
    shutdown();
    throw;
  }
}

PulseConnection::~PulseConnection() { shutdown(); }

void PulseConnection::shutdown() {
  {
    Lock lock(*this);
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_disconnect(context_.get());
  }
  pa_threaded_mainloop_stop(loop_.get());
}

void PulseConnection::fail() const {
  throw TransportError::connectFailed(pa_strerror(pa_context_errno(context_.get())));
}

PulseStream PulseConnection::openStream(const char* name, int channels,
                                        const std::function<int(pa_stream*)>& connect) {
  pa_sample_spec sampleFormat{};
  sampleFormat.format = PA_SAMPLE_FLOAT32NE;
  sampleFormat.rate = Opus::sampleRate;
  sampleFormat.channels = static_cast<std::uint8_t>(channels);
  if (channels <= 0 || !pa_sample_spec_valid(&sampleFormat)) throw TransportError::connectFailed(pa_strerror(PA_ERR_INVALID));
  pa_channel_map map;
  pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);

  PulseStream stream(pa_stream_new(context_.get(), name, &sampleFormat, &map));
  if (!stream) fail();
  pa_stream_set_state_callback(
      stream.get(), [](pa_stream*, void* loop) { signalLoop(loop); }, loop_.get());
  if (connect(stream.get()) < 0) fail();
  for (;;) {
    const pa_stream_state_t state = pa_stream_get_state(stream.get());
    if (state == PA_STREAM_READY) return stream;
    if (!PA_STREAM_IS_GOOD(state)) {
      closeStream(stream);
      fail();
    }
    pa_threaded_mainloop_wait(loop_.get());
  }
}

void PulseConnection::closeStream(PulseStream& stream) {
  if (!stream) return;
  pa_stream_set_state_callback(stream.get(), nullptr, nullptr);
  pa_stream_set_write_callback(stream.get(), nullptr, nullptr);
  pa_stream_set_read_callback(stream.get(), nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get()))) pa_stream_disconnect(stream.get());
  stream.reset();
}

}  // namespace pellora
