#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "core/bytes.h"
#include "core/opus_codec.h"
#include "viewer/audio_output.h"

namespace pellora {

// Plays the host's Opus packets with a small jitter buffer: playback starts once 80 ms are queued and then
// runs on; while more than 250 ms are queued, new packets are dropped (queued sound is never skipped).
// Decoding and scheduling run on the player's own serial queue "pellora.audio.play"; `play` and `stop`
// may be called from any thread. Owned by the viewer session's audio sink; owns its output.
class AudioPlayer {
 public:
  static constexpr std::int64_t startFrames = 3'840;       // 80 ms at 48 kHz
  static constexpr std::int64_t maxQueuedFrames = 12'000;  // 250 ms

  // Throws OpusError when no decoder can be made, TransportError when the output cannot be opened.
  AudioPlayer(int channels, std::unique_ptr<AudioOutput> output);
  ~AudioPlayer();  // stops
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

  int channels() const { return channels_; }

  // Hands one packet to the queue and returns at once. Ignored after `stop`.
  void play(Bytes packet);
  // Stops the output on the queue and ends the queue; packets still waiting are dropped. Idempotent.
  void stop();
  // Blocks until every packet handed to `play` so far has been handled.
  void waitUntilIdle();

  // Frames scheduled on the output and not yet played.
  std::int64_t queuedFrames() const;

 private:
  class Queue;
  // What the output's completion callbacks touch; they hold it weakly.
  struct Shared {
    std::mutex lock;
    std::int64_t queuedFrames = 0;
  };

  void handle(const Bytes& packet);  // on the queue

  int channels_;
  std::shared_ptr<Shared> shared_;
  OpusDecoder decoder_;
  std::unique_ptr<AudioOutput> output_;
  bool started_ = false;  // on the queue
  std::unique_ptr<Queue> queue_;
};

}  // namespace pellora
