#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/pulse_connection.h"
#include "viewer/audio_output.h"

namespace pellora {

// Plays through a PulseAudio playback stream on the default sink. Buffers wait here until the server asks
// for data, so that the player's jitter rules see what is really still queued; a buffer counts as played
// once the server has taken all of it (the server keeps about 40 ms more). `played` callbacks run on
// the connection's event thread.
class PulseAudioOutput : public AudioOutput {
 public:
  // `server` as for PulseConnection; empty: the user's default server.
  explicit PulseAudioOutput(std::string server = {});
  ~PulseAudioOutput() override;

  void open(int channels) override;
  void schedule(std::vector<float> samples, std::function<void()> played) override;
  void play() override;
  void stop() override;

 private:
  struct Pending {
    std::vector<float> samples;
    std::size_t offset = 0;  // samples already handed to the server
    std::function<void()> played;
  };

  void fill();  // on the event thread or with the lock held

  std::string server_;
  int channels_ = 0;
  std::unique_ptr<PulseConnection> connection_;
  PulseStream stream_;
  std::deque<Pending> pending_;
  bool playing_ = false;
};

}  // namespace pellora
