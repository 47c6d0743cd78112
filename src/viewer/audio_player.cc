#include "viewer/audio_player.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>

namespace pellora {

// One named worker thread running jobs in order. Kept private so that it can give way to the shared
// serial queue of the executors layer without touching the player's interface.
class AudioPlayer::Queue {
 public:
  explicit Queue(const char* label) : thread_([this] { run(); }) {
    pthread_setname_np(thread_.native_handle(), std::string(label).substr(0, 15).c_str());
  }
  ~Queue() { close(); }

  // False once closed: the job is not run.
  bool post(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    jobs_.push_back(std::move(job));
    wake_.notify_all();
    return true;
  }

  // Runs `last`, drops jobs posted before it that have not started, and joins the thread.
  void close(std::function<void()> last = {}) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = true;
      jobs_.clear();
      if (last) jobs_.push_back(std::move(last));
      wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

  void waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
      if (jobs_.empty()) break;  // closed and drained
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      lock.unlock();
      job();
      lock.lock();
      busy_ = false;
      if (jobs_.empty()) idle_.notify_all();
    }
    idle_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> jobs_;
  bool closed_ = false, busy_ = false;
  std::thread thread_;  // last: starts once the fields above exist
};

AudioPlayer::AudioPlayer(int channels, std::unique_ptr<AudioOutput> output)
    : channels_(channels), shared_(std::make_shared<Shared>()), decoder_(channels), output_(std::move(output)) {
  output_->open(channels_);
  queue_ = std::make_unique<Queue>("pellora.audio.play");
}

AudioPlayer::~AudioPlayer() { stop(); }

void AudioPlayer::play(Bytes packet) {
  if (queue_) queue_->post([this, packet = std::move(packet)] { handle(packet); });
}

void AudioPlayer::stop() {
  if (queue_) queue_->close([this] { output_->stop(); });
}

void AudioPlayer::waitUntilIdle() {
  if (queue_) queue_->waitUntilIdle();
}

std::int64_t AudioPlayer::queuedFrames() const {
  std::lock_guard lock(shared_->lock);
  return shared_->queuedFrames;
}

void AudioPlayer::handle(const Bytes& packet) {
  std::vector<float> samples = decoder_.decode(packet);
  const auto frames = static_cast<std::int64_t>(samples.size()) / channels_;
  if (frames == 0) return;

  std::int64_t queued;
  {
    std::lock_guard lock(shared_->lock);
    queued = shared_->queuedFrames;
  }
  if (queued > maxQueuedFrames) return;  // behind: drop new sound rather than skip queued sound

  {
    std::lock_guard lock(shared_->lock);
    shared_->queuedFrames += frames;
  }
  output_->schedule(std::move(samples), [weak = std::weak_ptr<Shared>(shared_), frames] {
    if (auto shared = weak.lock()) {
      std::lock_guard lock(shared->lock);
      shared->queuedFrames -= frames;
    }
  });

  // Prime once; after an underrun playback simply continues with whatever arrives.
  if (!started_ && queued + frames >= startFrames) {
    started_ = true;
    output_->play();
  }
}

}  // namespace pellora
