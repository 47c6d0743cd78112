#pragma once

#include <functional>
#include <vector>

namespace pellora {

// A sound output the audio player feeds: 48 kHz interleaved float frames, played in the order scheduled.
// All calls come from the player's queue. A `played` callback runs on the output's own thread, or inside
// `schedule` or `play` when the output takes the samples at once; it must not call back into the output.
class AudioOutput {
 public:
  virtual ~AudioOutput() = default;

  // Opens the output for `channels` channels, paused. Throws TransportError.
  virtual void open(int channels) = 0;
  // Queues interleaved samples behind those already scheduled; `played` runs once the output has
  // consumed all of them.
  virtual void schedule(std::vector<float> samples, std::function<void()> played) = 0;
  // Starts (or keeps) playing; after an underrun, later buffers play as they arrive.
  virtual void play() = 0;
  // Stops playing and drops what is scheduled. No `played` callback runs after it returns.
  virtual void stop() = 0;
};

}  // namespace pellora
