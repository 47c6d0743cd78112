#pragma once

#include <memory>
#include <string>

#include "host/audio_source.h"
#include "platform/linux/pulse_connection.h"

namespace pellora {

// Captures what the computer plays: a PulseAudio record stream on the monitor of the default sink, as
// 48 kHz float stereo in 20 ms fragments. `onAudio` runs on the connection's event thread
// ("pellora.capture.audio").
class PulseAudioSource : public AudioSource {
 public:
  // `server` as for PulseConnection; `device` a source name (default: the default sink's monitor).
  explicit PulseAudioSource(std::string server = {}, std::string device = "@DEFAULT_MONITOR@");
  ~PulseAudioSource() override;

  void start() override;
  void stop() override;

 private:
  void drain(pa_stream* stream);  // on the event thread

  std::string server_, device_;
  std::unique_ptr<PulseConnection> connection_;
  PulseStream stream_;
};

}  // namespace pellora
