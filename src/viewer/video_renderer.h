#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/serial_queue.h"
#include "core/message.h"
#include "viewer/frame_sink.h"

namespace pellora {

// Turns the host's video messages into pictures: H.264 access units (AVCC, parameter sets from
// `videoConfig`) through libavcodec, and JPEG regions through TurboJPEG into one persistent BGRA canvas.
// Every picture goes to the sink, which keeps only the newest. The canvas lives in a few buffers that take
// turns: the next message is drawn into one nobody holds, after copying in only what changed since it was
// last shown, so a picture reaches the sink without a copy of the whole canvas.
//
// Everything runs on its own serial queue "pellora.render": `handle` posts and returns at once, so the
// session's receive loop never waits for decoding. `requestKeyframe` and `onSize` are called on that
// queue; they are set before the first `handle` and must only send or post (the session hops to the main
// strand itself). Owned by a viewer session; destroying it stops the queue, and no callback runs after.
// Everything in a message comes from the peer and is checked before use: sizes, rectangles, the
// decoder's own output size. The queue is bounded: when messages arrive faster than they are decoded,
// everything waiting is dropped and a keyframe (a full picture) is asked for, as after a decode failure.
class VideoRenderer {
 public:
  struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
  };
  // Which picture the sink shows last.
  enum class Mode { none, h264, jpeg };

  // Larger remote screens are refused rather than allocated (16384 × 16384 BGRA is 1 GiB).
  static constexpr std::uint32_t maxDimension = 8192;
  // Messages waiting for the queue beyond either bound are dropped (about a second of video).
  static constexpr std::size_t maxQueued = 64;
  static constexpr std::size_t maxQueuedBytes = 64 << 20;
  // Canvas buffers: the one shown, the sink's newest, and one to draw into.
  static constexpr std::size_t canvasBuffers = 3;

  // `maxSide` lowers the size limit (the fuzz target keeps its allocations small); `tryHardware` lets
  // H.264 decode on a VAAPI device when one answers, else it decodes in software.
  explicit VideoRenderer(std::shared_ptr<FrameSink> sink, std::uint32_t maxSide = maxDimension,
                         bool tryHardware = true);
  ~VideoRenderer();
  VideoRenderer(const VideoRenderer&) = delete;
  VideoRenderer& operator=(const VideoRenderer&) = delete;

  // videoConfig, videoFrame and imageRegions; every other message is ignored.
  void handle(Message message);
  // Blocks until every message handed over so far was handled (tests, the headless viewer's summary).
  // Not from a callback of this renderer (it returns at once there).
  void waitUntilIdle();

  const std::shared_ptr<FrameSink>& sink() const { return sink_; }
  // The codec path that produced the newest picture (read from any thread).
  Mode mode() const { return mode_.load(); }
  // How often the queue overflowed and was dropped (read from any thread).
  std::uint64_t overflows() const { return overflows_.load(); }

  std::function<void()> requestKeyframe;
  std::function<void(Size)> onSize;

 private:
  struct State;  // decoder, canvas, key-frame gate: queue only
  void configure(const Message::VideoConfig& config);
  void enqueue(const Message::VideoFrame& frame);
  void composite(const Message::ImageRegions& update);
  void recover();  // after dropped messages: wait for a keyframe and ask for one
  void report(Size size);

  std::shared_ptr<FrameSink> sink_;
  std::atomic<Mode> mode_{Mode::none};
  std::atomic<std::uint64_t> overflows_{0};
  // What waits on the queue. A drop starts a new epoch: jobs of an older one do nothing when they run.
  std::mutex queuedLock_;
  std::size_t queued_ = 0;
  std::size_t queuedBytes_ = 0;
  std::uint64_t epoch_ = 0;
  std::unique_ptr<State> state_;
  SerialQueue queue_{"pellora.render"};  // last: stopped first, before the state goes
};

}  // namespace pellora
