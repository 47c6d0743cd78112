#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "core/transport_error.h"
#include "viewer/audio_output.h"

namespace pellora {

// An audio output for tests: records what it is told and plays nothing until the test calls `consume`.
class FakeAudioOutput : public AudioOutput {
 public:
  struct Log {
    int channels = 0;                           // as opened; 0 before
    std::vector<std::vector<float>> scheduled;  // every buffer, in order
    int playCalls = 0;
    std::size_t scheduledAtPlay = 0;  // buffers scheduled when `play` was first called
    bool stopped = false;
  };

  void open(int channels) override {
    if (failOpen) throw TransportError::connectFailed("fake audio output");
    std::lock_guard lock(mutex_);
    log_.channels = channels;
  }
  void schedule(std::vector<float> samples, std::function<void()> played) override {
    std::lock_guard lock(mutex_);
    log_.scheduled.push_back(std::move(samples));
    unplayed_.push_back(std::move(played));
  }
  void play() override {
    std::lock_guard lock(mutex_);
    if (log_.playCalls++ == 0) log_.scheduledAtPlay = log_.scheduled.size();
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    log_.stopped = true;
    unplayed_.clear();
  }

  // Plays the `count` oldest unplayed buffers (their `played` callbacks run on the caller's thread).
  void consume(std::size_t count) {
    std::vector<std::function<void()>> done;
    {
      std::lock_guard lock(mutex_);
      while (count-- > 0 && !unplayed_.empty()) {
        done.push_back(std::move(unplayed_.front()));
        unplayed_.pop_front();
      }
    }
    for (auto& f : done) f();
  }

  Log log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }

  bool failOpen = false;

 private:
  mutable std::mutex mutex_;
  Log log_;
  std::deque<std::function<void()>> unplayed_;
};

}  // namespace pellora
