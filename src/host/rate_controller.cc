#include "host/rate_controller.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pellora {

RateController::RateController(Limits limits)
    : limits_(limits), floor_(std::min(floorBitrate, limits.ceilingBitrate)) {
  decision_ = {limits_.ceilingBitrate, 0, limits_.ceilingFps, limits_.ceilingJpegQuality};
  setPathLimits();
}

void RateController::setPathLimits() {
  // Samples we limited do not count: through a buffering middlebox they can be far above the bottleneck.
  const std::int64_t path = pathBitrate();
  if (path > 0) {
    decision_.bufferBits = std::clamp(path * keyframeMicros / 1'000'000,
                                      decision_.bitrate * keyframeMicros / 1'000'000, decision_.bitrate);
  } else if (carried_) {
    // As on a path of the target's rate, and never smaller than the buffer a faster reading gave: a buffer
    // that grows back looks empty to the encoder, which then starves the frames that follow.
    decision_.bufferBits = std::clamp(decision_.bufferBits, decision_.bitrate * keyframeMicros / 1'000'000,
                                      decision_.bitrate);
  } else {
    // Never less than one average frame, which the encoder's buffer must hold.
    decision_.bufferBits = std::max(std::min(decision_.bitrate, unknownPathBitrate) * keyframeMicros / 1'000'000,
                                    decision_.bitrate / std::max(1, decision_.fps));
  }
  decision_.queueBytes =
      path > 0 ? std::clamp(path / 8 * queueMicros / 1'000'000, minQueueBytes, maxQueueBytes) : maxQueueBytes;
}

bool RateController::drainedRates() const {
  return std::any_of(rates_.begin(), rates_.end(), [](const RateSample& r) { return r.drained; });
}

std::int64_t RateController::bestRate(std::int64_t sinceMicros) const {
  std::int64_t best = 0;
  const bool drained = drainedRates();
  for (const RateSample& r : rates_)
    if (counts(r, drained) && r.atMicros >= sinceMicros) best = std::max(best, r.bytesPerSecond);
  return best * 8;
}

std::int64_t RateController::latestRate() const {
  const bool drained = drainedRates();
  for (auto r = rates_.rbegin(); r != rates_.rend(); ++r)
    if (counts(*r, drained)) return r->bytesPerSecond * 8;
  return 0;
}

void RateController::sampleDrain(const Sample& sample) {
  // The path was busy all along when it did not even send all that waited at the span's start: no
  // moment without bytes to send. Spans when it ran dry are left out rather than ending the measurement
  // (the picture gate lets the queue empty now and then).
  const Sample& from = last_;
  const bool busy = from.bytesSent > 0 && sample.bytesSent >= from.bytesSent && sample.bytesAcked >= from.bytesAcked &&
                    sample.nowMicros > from.nowMicros && sample.bytesSent - from.bytesSent < from.backlogBytes;
  if (busy) {
    busy_.emplace_back(sample.nowMicros - from.nowMicros, sample.bytesAcked - from.bytesAcked);
    busyMicros_ += busy_.back().first;
    busyAcked_ += busy_.back().second;
    // Acknowledgements answer what left a round trip ago: the window covers at least two.
    const std::int64_t window = std::max(drainWindowMicros, 2 * sample.minRttMicros);
    while (busyMicros_ - busy_.front().first >= window) {
      busyMicros_ -= busy_.front().first;
      busyAcked_ -= busy_.front().second;
      busy_.pop_front();
    }
    if (busyMicros_ >= drainSampleMicros && busyAcked_ > 0)
      rates_.push_back({sample.nowMicros, busyAcked_ * 1'000'000 / busyMicros_, false, true});
  }
  last_ = sample;
}

void RateController::sampleCarried(const Sample& sample, std::int64_t delay) {
  if (delay >= lowDelayMicros || sample.bytesSent <= 0) {
    calmFrom_.reset();
    return;
  }
  if (!calmFrom_) {
    calmFrom_.emplace(sample.nowMicros, sample.bytesSent);
    return;
  }
  const auto [fromMicros, fromSent] = *calmFrom_;
  const std::int64_t span = sample.nowMicros - fromMicros;
  if (span < carriedMicros) return;
  // A still screen sends little and proves nothing; only a span sent near the target does.
  const double sentBits = static_cast<double>(sample.bytesSent - fromSent) * 8;
  if (sentBits >= carriedShare * static_cast<double>(decision_.bitrate) * static_cast<double>(span) / 1e6)
    carried_ = true;
  calmFrom_.emplace(sample.nowMicros, sample.bytesSent);
}

std::int64_t RateController::pathBitrate() const { return bestRate(std::numeric_limits<std::int64_t>::min()); }

std::int64_t RateController::delayMicros(const Sample& sample) const {
  const std::int64_t queueing = std::max<std::int64_t>(0, sample.rttMicros - sample.minRttMicros);
  // Our backlog drains at the path's rate; before that is known, at the rate we send. The frame just
  // handed over is transit, not queueing: only what waits beyond one average frame counts.
  // Drain samples follow a path that just got slower at once; the best of the last second would not.
  const std::int64_t path = drainedRates() ? latestRate() : pathBitrate();
  const std::int64_t rate = std::max<std::int64_t>(1, (path > 0 ? path : decision_.bitrate) / 8);
  // One frame at the rate the path carries, not at a target that may still be far above it.
  const std::int64_t frameBytes = std::min(decision_.bitrate / 8, rate) / std::max(1, decision_.fps);
  return queueing + std::max<std::int64_t>(0, sample.backlogBytes - frameBytes) * 1'000'000 / rate;
}

const RateController::Decision& RateController::update(const Sample& sample) {
  if (sample.deliveryRate > 0) rates_.push_back({sample.nowMicros, sample.deliveryRate, sample.appLimited, false});
  sampleDrain(sample);
  while (!rates_.empty() && rates_.front().atMicros < sample.nowMicros - rateWindowMicros) rates_.pop_front();

  const std::int64_t delay = delayMicros(sample);
  sampleCarried(sample, delay);
  const std::int64_t sinceChange = sample.nowMicros - lastChangeMicros_;
  if (delay > highDelayMicros) {
    // Right after a back-off the queue is still draining; judging it again would back off twice for one
    // overshoot. The drain takes the path's own round trip to show, not the queued one we wait out.
    if (!backedOff_ || sinceChange >= std::max(backoffHoldMicros, 2 * sample.minRttMicros)) {
      std::int64_t next = static_cast<std::int64_t>(static_cast<double>(decision_.bitrate) * drainShare);
      if (delay > jumpDelayMicros) {
        // The path just got slower: what it delivered before says nothing about now, neither for the
        // target nor for the size of the next keyframe.
        const std::int64_t latest = latestRate();
        const bool drained = drainedRates();
        std::erase_if(rates_,
                      [&](const RateSample& r) { return counts(r, drained) && r.bytesPerSecond * 8 > latest; });
      }
      const std::int64_t path =
          delay > jumpDelayMicros ? latestRate() : bestRate(sample.nowMicros - backoffHoldMicros);
      if (path > 0) next = std::min(next, static_cast<std::int64_t>(static_cast<double>(path) * drainShare));
      backedOff_ = true;
      carried_ = false;
      setBitrate(next, sample.nowMicros);
    }
  } else if (delay < lowDelayMicros && decision_.bitrate < limits_.ceilingBitrate && sinceChange >= probeIntervalMicros) {
    backedOff_ = false;
    setBitrate(static_cast<std::int64_t>(static_cast<double>(decision_.bitrate) * probeStep), sample.nowMicros);
  }
  setPathLimits();
  return decision_;
}

void RateController::setBitrate(std::int64_t bitrate, std::int64_t nowMicros) {
  lastChangeMicros_ = nowMicros;
  const std::int64_t ceiling = limits_.ceilingBitrate;
  decision_.bitrate = std::clamp(bitrate, floor_, ceiling);
  // Full frame rate down to half the preset's bit rate, then fewer and fuller frames rather than blurred
  // ones; the rate falls with the square root, so that a slow path still shows motion (a tenth of the bit
  // rate keeps nearly half the pictures, each twice the bits it would get at full rate).
  const double share = static_cast<double>(decision_.bitrate) / static_cast<double>(ceiling);
  const int fps = static_cast<int>(std::lround(limits_.ceilingFps * std::min(1.0, std::sqrt(2 * share))));
  decision_.fps = std::clamp(fps, std::min(floorFps, limits_.ceilingFps), limits_.ceilingFps);
  const double span = ceiling > floor_ ? static_cast<double>(decision_.bitrate - floor_) / static_cast<double>(ceiling - floor_) : 1;
  const double floorQuality = std::min(floorJpegQuality, limits_.ceilingJpegQuality);
  decision_.jpegQuality = floorQuality + (limits_.ceilingJpegQuality - floorQuality) * span;
}

}  // namespace pellora
