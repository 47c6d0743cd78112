#include "platform/linux/audio_source_pulse.h"

#include <pulse/pulseaudio.h>

#include "core/opus_codec.h"

namespace pellora {

namespace {
constexpr int captureChannels = 2;
constexpr pa_usec_t fragmentMicros = 20'000;  // one Opus packet
}  // namespace

PulseAudioSource::PulseAudioSource(std::string server, std::string device)
    : server_(std::move(server)), device_(std::move(device)) {}

PulseAudioSource::~PulseAudioSource() { stop(); }

void PulseAudioSource::start() {
  stop();
  connection_ = std::make_unique<PulseConnection>(server_, "pellora.capture.audio");
  PulseConnection::Lock lock(*connection_);
  stream_ = connection_->openStream("Pellora", captureChannels, [this](pa_stream* s) {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentMicros, pa_stream_get_sample_spec(s)));
    pa_stream_set_read_callback(
        s, [](pa_stream* stream, std::size_t, void* self) { static_cast<PulseAudioSource*>(self)->drain(stream); }, this);
    return pa_stream_connect_record(s, device_.empty() ? nullptr : device_.c_str(), &attr, PA_STREAM_ADJUST_LATENCY);
  });
}

void PulseAudioSource::stop() {
  if (!connection_) return;
  {
    PulseConnection::Lock lock(*connection_);
    PulseConnection::closeStream(stream_);
  }
  connection_.reset();  // joins the event thread: no callback after this
}

void PulseAudioSource::drain(pa_stream* stream) {
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    // A null pointer with a size is a hole in the stream: nothing to deliver, but it must be dropped.
    if (data && onAudio) {
      AudioSampleBuffer buffer;
      buffer.format.channels = captureChannels;
      buffer.format.sampleRate = Opus::sampleRate;
      buffer.frames = bytes / (sizeof(float) * captureChannels);
      buffer.buffers.emplace_back(static_cast<const std::uint8_t*>(data), bytes);
      onAudio(buffer);
    }
    pa_stream_drop(stream);
  }
}

}  // namespace pellora
