#include "platform/linux/audio_output_pulse.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace pellora {

namespace {
// What the server keeps buffered beyond our own queue, and how much it asks for at a time.
constexpr pa_usec_t serverLatencyMicros = 40'000;
constexpr pa_usec_t requestMicros = 10'000;
}  // namespace

PulseAudioOutput::PulseAudioOutput(std::string server) : server_(std::move(server)) {}

PulseAudioOutput::~PulseAudioOutput() { stop(); }

void PulseAudioOutput::open(int channels) {
  stop();
  channels_ = channels;
  connection_ = std::make_unique<PulseConnection>(server_, "pellora.audio.out");
  PulseConnection::Lock lock(*connection_);
  stream_ = connection_->openStream("Pellora", channels, [this](pa_stream* s) {
    const pa_sample_spec* sampleFormat = pa_stream_get_sample_spec(s);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(serverLatencyMicros, sampleFormat));
    // The player primes its own queue; after an underrun the server resumes with the first request's
    // worth instead of waiting for a whole buffer again.
    attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(requestMicros, sampleFormat));
    attr.prebuf = attr.minreq;
    attr.fragsize = static_cast<std::uint32_t>(-1);
    pa_stream_set_write_callback(
        s, [](pa_stream*, std::size_t, void* self) { static_cast<PulseAudioOutput*>(self)->fill(); }, this);
    return pa_stream_connect_playback(s, nullptr, &attr,
                                      static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY),
                                      nullptr, nullptr);
  });
}

void PulseAudioOutput::schedule(std::vector<float> samples, std::function<void()> played) {
  if (!connection_ || channels_ <= 0) return;
  // The server takes whole frames only; a partial one would block the queue for good.
  samples.resize(samples.size() - samples.size() % static_cast<std::size_t>(channels_));
  PulseConnection::Lock lock(*connection_);
  pending_.push_back({std::move(samples), 0, std::move(played)});
  fill();
}

void PulseAudioOutput::play() {
  if (!connection_) return;
  PulseConnection::Lock lock(*connection_);
  if (!stream_ || playing_) return;
  playing_ = true;
  if (pa_operation* op = pa_stream_cork(stream_.get(), 0, nullptr, nullptr)) pa_operation_unref(op);
  fill();
}

void PulseAudioOutput::stop() {
  if (!connection_) return;
  {
    PulseConnection::Lock lock(*connection_);
    playing_ = false;
    pending_.clear();
    PulseConnection::closeStream(stream_);
  }
  connection_.reset();  // joins the event thread: no callback after this
}

void PulseAudioOutput::fill() {
  if (!playing_ || !stream_) return;
  std::size_t writable = pa_stream_writable_size(stream_.get());
  if (writable == static_cast<std::size_t>(-1)) return;
  const std::size_t frameBytes = sizeof(float) * static_cast<std::size_t>(channels_);
  writable -= writable % frameBytes;
  while (!pending_.empty() && writable > 0) {
    Pending& p = pending_.front();
    const std::size_t bytes = std::min(writable, (p.samples.size() - p.offset) * sizeof(float));
    if (bytes > 0) {
      // No free callback: the server copies the data, so our buffer may go at once.
      if (pa_stream_write(stream_.get(), p.samples.data() + p.offset, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
        return;
      writable -= bytes;
      p.offset += bytes / sizeof(float);
    }
    if (p.offset == p.samples.size()) {
      auto played = std::move(p.played);
      pending_.pop_front();
      if (played) played();
    }
  }
}

}  // namespace pellora
