#pragma once

// How much video one host session sends: a target bit rate between a floor and the preset's own, chosen
// from what the path carries and how long our bytes wait on it.

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace pellora {

// Pure decision logic, fed one reading of the path per captured frame. It backs off at once when the
// queueing delay grows (toward what the path delivered, not merely a fraction of the old target), then
// waits for the queue to drain before judging again; it probes upward slowly while the queue stays short.
// Where nothing queues (loopback, a fast LAN) the preset's figures stay in force. Lives on the session's
// video queue; not thread-safe.
class RateController {
 public:
  // The preset's figures are the ceiling.
  struct Limits {
    std::int64_t ceilingBitrate = 0;  // bits per second
    int ceilingFps = 30;
    double ceilingJpegQuality = 0.6;
  };
  // One reading of the path. Rates in bytes per second, times in microseconds.
  struct Sample {
    std::int64_t nowMicros = 0;
    std::int64_t rttMicros = 0;     // smoothed
    std::int64_t minRttMicros = 0;  // the path's own round trip
    std::int64_t deliveryRate = 0;  // the kernel's latest sample, 0 when unknown
    bool appLimited = false;        // that sample was limited by how much we had to send
    std::int64_t backlogBytes = 0;  // written by us and not yet on the network (our queue and the kernel's)
    std::int64_t bytesAcked = 0;    // acknowledged by the peer since the connection began; 0 when unknown
    std::int64_t bytesSent = 0;     // handed to the network since the connection began; 0 when unknown
  };
  struct Decision {
    std::int64_t bitrate = 0;     // bits per second
    std::int64_t bufferBits = 0;  // the largest frame (a keyframe): what the path carries in `keyframeMicros`
    int fps = 0;
    double jpegQuality = 0;
    // What may wait in our own queue before the next picture is encoded, and what the kernel may hold
    // unsent beyond it.
    std::int64_t queueBytes = 0;
    bool operator==(const Decision&) const = default;
  };

  // Never below these, whatever the path: a picture that still moves and still reads.
  static constexpr std::int64_t floorBitrate = 250'000;
  static constexpr int floorFps = 5;
  static constexpr double floorJpegQuality = 0.3;
  // Queueing delay above this backs off; below `lowDelayMicros` the controller may probe upward.
  static constexpr std::int64_t highDelayMicros = 40'000;
  static constexpr std::int64_t lowDelayMicros = 15'000;
  // A delay this far above the path's own means the path just got slower: the back-off follows its latest
  // delivery sample rather than the best of the last moments, which may still be from before.
  static constexpr std::int64_t jumpDelayMicros = 4 * highDelayMicros;
  // After a back-off the queue needs time to drain before the delay means anything again.
  static constexpr std::int64_t backoffHoldMicros = 250'000;
  static constexpr std::int64_t probeIntervalMicros = 1'000'000;
  static constexpr double probeStep = 1.1;
  // Share of the delivered rate a back-off aims for, so that the queue drains while we send.
  static constexpr double drainShare = 0.85;
  // A keyframe (or a picture that changed whole) may take this long on the path, and never more than one
  // second of the target rate: on a slow path it holds up every later picture and message by as much.
  static constexpr std::int64_t keyframeMicros = 150'000;
  // Until the path has shown its rate, keyframes are sized for a path this fast: the first picture of a
  // session on a slow uplink must not hold up the first second, and on a fast one the path is known a
  // round trip later.
  static constexpr std::int64_t unknownPathBitrate = 2'000'000;
  // A path we never fill shows no rate of its own (every sample is one we limited), yet it carries what we
  // send: once we sent at least `carriedShare` of the target for `carriedMicros` with a short queue, the
  // path counts as carrying the target, and keyframes are sized as on a path of that rate. Without it an
  // encoder held to the unknown path's keyframe, barely one average frame, spends half its target on a
  // fast path (so the share sits below that half).
  static constexpr std::int64_t carriedMicros = 1'000'000;
  static constexpr double carriedShare = 0.3;
  // Our queue, and the kernel's unsent bytes beyond it, each hold at most this long at the path's rate
  // before the next picture waits: a ping or a key press sealed behind them then waits no longer than
  // that. Never more than `maxQueueBytes` (the figure while the path's rate is unknown, and what a fast
  // path gets), never less than `minQueueBytes`.
  static constexpr std::int64_t queueMicros = 20'000;
  static constexpr std::int64_t minQueueBytes = 4 * 1024;
  static constexpr std::int64_t maxQueueBytes = 16 * 1024;
  // Delivery-rate samples this recent count toward the path rate; a back-off aims below the samples of
  // the last `backoffHoldMicros`, so that it follows a path that just got slower.
  static constexpr std::int64_t rateWindowMicros = 1'000'000;
  // What the peer acknowledged while bytes of ours waited all along is what the path carried: a drain
  // sample, over the latest `drainWindowMicros` of such waiting (and at least `drainSampleMicros` of it:
  // acknowledgements come in bursts, and a short span measures the burst). The kernel's own samples
  // time single acknowledgements, which a buffering middlebox (a proxy, a relay) answers far faster than
  // the bottleneck behind it drains; while drain samples are recent they are the path's rate.
  static constexpr std::int64_t drainSampleMicros = 200'000;
  static constexpr std::int64_t drainWindowMicros = 400'000;

  explicit RateController(Limits limits);

  // Takes one reading and returns the decision in force from now on.
  const Decision& update(const Sample& sample);
  const Decision& decision() const { return decision_; }
  // The estimated path rate in bits per second: the best recent delivery sample that the path limited
  // (a sample we limited says only that the path carries at least that much), drain samples first; 0
  // while unknown.
  std::int64_t pathBitrate() const;
  // The delay our next byte waits: queueing on the path plus our own backlog beyond one average frame at
  // the path's rate.
  std::int64_t delayMicros(const Sample& sample) const;

 private:
  void setBitrate(std::int64_t bitrate, std::int64_t nowMicros);
  void setPathLimits();
  void sampleCarried(const Sample& sample, std::int64_t delay);

  Limits limits_;
  Decision decision_;
  std::int64_t floor_;
  std::int64_t lastChangeMicros_ = 0;
  bool backedOff_ = false;  // the last change was a back-off
  struct RateSample {
    std::int64_t atMicros;
    std::int64_t bytesPerSecond;
    bool appLimited;
    bool drained;  // a drain sample, not the kernel's
  };
  // Whether `r` counts toward the path's rate, given whether drain samples are recent.
  static bool counts(const RateSample& r, bool drained) { return !r.appLimited && r.drained == drained; }
  bool drainedRates() const;
  void sampleDrain(const Sample& sample);
  // The best sample the path limited since `sinceMicros`, in bits per second.
  std::int64_t bestRate(std::int64_t sinceMicros) const;
  // The newest sample the path limited, in bits per second; 0 when none is recent.
  std::int64_t latestRate() const;
  std::deque<RateSample> rates_;
  // The latest spans between two readings during which bytes waited all along, as (microseconds, bytes
  // acknowledged), with their sums; and the last reading.
  std::deque<std::pair<std::int64_t, std::int64_t>> busy_;
  std::int64_t busyMicros_ = 0;
  std::int64_t busyAcked_ = 0;
  Sample last_;
  // Since when (and with how many bytes sent) the queue has been short; none while it is not.
  std::optional<std::pair<std::int64_t, std::int64_t>> calmFrom_;
  bool carried_ = false;  // the path carried what we sent at the target, and no back-off came since
};

}  // namespace pellora
