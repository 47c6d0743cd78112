#include "host/rate_controller.h"

#include <gtest/gtest.h>

namespace pellora {
namespace {

constexpr RateController::Limits balanced{8'000'000, 30, 0.6};

// A reading of the path; rates in bits per second for readability.
RateController::Sample path(std::int64_t atMs, std::int64_t rttMs, std::int64_t minRttMs, std::int64_t bitsPerSecond,
                            std::int64_t backlogBytes = 0, bool appLimited = false) {
  return {atMs * 1000, rttMs * 1000, minRttMs * 1000, bitsPerSecond / 8, appLimited, backlogBytes};
}

// Readings from behind a buffering middlebox, one per frame from `fromMs` until `toMs`: the kernel's own
// samples say gigabits and the round trip stays that of the first hop, while what the peer acknowledges
// grows at `bitsPerSecond` and `backlogBytes` of ours wait at each reading.
RateController::Sample behindMiddlebox(std::int64_t atMs, std::int64_t bitsPerSecond, std::int64_t backlogBytes) {
  RateController::Sample s = path(atMs, 1, 1, 8'000'000'000, backlogBytes);
  s.bytesAcked = 1 + atMs * bitsPerSecond / 8 / 1000;
  s.bytesSent = s.bytesAcked + 8192;
  return s;
}
void drainBehindMiddlebox(RateController& rc, int fromMs, int toMs, std::int64_t bitsPerSecond,
                          std::int64_t backlogBytes) {
  for (int ms = fromMs; ms < toMs; ms += 33) rc.update(behindMiddlebox(ms, bitsPerSecond, backlogBytes));
}

enum class Change { down, same, up };

// What the controller saw before the row's reading, at t = 0.
enum class Before {
  nothing,
  saturated3M,  // a 3 Mbit/s path with a full queue: backed off below the ceiling
  calm10M,      // a 10 Mbit/s path without a queue: still at the ceiling
  middlebox1M,  // a second behind a middlebox, 1 Mbit/s drained with about a frame waiting: at the ceiling
};

struct Row {
  const char* what;
  Before before;
  RateController::Sample sample;
  Change expected;
  std::int64_t atMost = 0;  // when set, the new target is at most this
};

TEST(RateController, DecisionTable) {
  const Row rows[] = {
      {"loopback", Before::nothing, path(40, 0, 0, 4'000'000'000), Change::same},
      {"LAN with a keyframe in our queue", Before::nothing, path(40, 1, 0, 800'000'000, 300'000), Change::same},
      {"slow path, router queue full", Before::nothing, path(40, 180, 100, 3'000'000), Change::down},
      {"delay between the thresholds", Before::nothing, path(40, 125, 100, 3'000'000), Change::same},
      {"our own backlog, no queue on the path", Before::nothing, path(40, 100, 100, 1'000'000, 200'000),
       Change::down},
      {"a keyframe's backlog, path rate not yet known", Before::nothing, path(40, 1, 1, 0, 100'000), Change::down},
      {"a frame in our queue, path rate not yet known", Before::nothing, path(40, 1, 1, 0, 30'000), Change::same},
      {"queue drained, too soon to probe", Before::saturated3M, path(500, 100, 100, 2'500'000), Change::same},
      {"queue drained for a second", Before::saturated3M, path(1000, 100, 100, 2'500'000), Change::up},
      {"still draining the last back-off", Before::saturated3M, path(100, 250, 100, 3'000'000), Change::same},
      {"still queued after the hold", Before::saturated3M, path(600, 250, 100, 3'000'000), Change::down},
      {"a long queue does not stretch the hold", Before::saturated3M, path(300, 900, 100, 3'000'000), Change::down},
      {"the queue grows a little after a fast stretch: one step down", Before::calm10M, path(40, 110, 60, 2'000'000),
       Change::down, 8'000'000},
      {"the delay jumps: down to the path's newest rate, not its best before", Before::calm10M,
       path(40, 300, 60, 2'000'000), Change::down, 2'000'000},
      {"behind a middlebox, one frame waiting is transit", Before::middlebox1M, behindMiddlebox(1000, 1'000'000, 6000),
       Change::same},
      {"behind a middlebox, pictures waiting: down to what drained, not what the kernel saw",
       Before::middlebox1M, behindMiddlebox(1000, 1'000'000, 40'000), Change::down, 1'000'000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RateController rc(balanced);
    if (row.before == Before::saturated3M) rc.update(path(0, 250, 100, 3'000'000));
    if (row.before == Before::calm10M) rc.update(path(0, 61, 60, 10'000'000));
    if (row.before == Before::middlebox1M) drainBehindMiddlebox(rc, 0, 1000, 1'000'000, 6000);
    const std::int64_t before = rc.decision().bitrate;
    const std::int64_t after = rc.update(row.sample).bitrate;
    const Change seen = after < before ? Change::down : after > before ? Change::up : Change::same;
    EXPECT_EQ(seen, row.expected) << before << " -> " << after;
    if (row.atMost > 0) {
      EXPECT_LE(after, row.atMost);
    }
  }
}

TEST(RateController, BacksOffTowardWhatThePathDeliversAndProbesUpInSmallSteps) {
  RateController rc(balanced);
  // Before the path is known a keyframe is sized for a modest path, not the preset's rate.
  const auto keyframeOn = [](std::int64_t bitrate) { return bitrate * RateController::keyframeMicros / 1'000'000; };
  EXPECT_EQ(rc.decision(), (RateController::Decision{8'000'000, keyframeOn(RateController::unknownPathBitrate), 30,
                                                     0.6, 16 * 1024}));
  EXPECT_EQ(RateController({1'000'000, 15, 0.45}).decision().bufferBits, keyframeOn(1'000'000));
  // One look at a 3 Mbit/s path with a full queue goes below its rate, not merely below the old target.
  EXPECT_LE(rc.update(path(0, 250, 100, 3'000'000)).bitrate, 3'000'000 * RateController::drainShare);
  EXPECT_EQ(rc.pathBitrate(), 3'000'000);
  EXPECT_EQ(rc.decision().bufferBits, keyframeOn(3'000'000)) << "a keyframe takes its time on the path";
  EXPECT_LT(rc.decision().queueBytes, 16 * 1024) << "our own queue holds no more than a few packets' time";
  const std::int64_t backedOff = rc.decision().bitrate;
  // Bursts that we limited say nothing about the bottleneck: neither the target nor keyframes grow.
  rc.update(path(100, 100, 100, 40'000'000, 0, true));
  EXPECT_EQ(rc.pathBitrate(), 3'000'000);
  EXPECT_EQ(rc.decision().bitrate, backedOff);
  EXPECT_EQ(rc.decision().bufferBits, keyframeOn(3'000'000));
  const std::int64_t probed = rc.update(path(1000, 100, 100, 2'000'000, 0, true)).bitrate;
  EXPECT_GT(probed, backedOff);
  EXPECT_LE(probed, backedOff * RateController::probeStep + 1);
}

TEST(RateController, StaysBetweenFloorAndCeilingAndSpacesPicturesOutOnlyWellBelowIt) {
  RateController rc(balanced);
  // A path far slower than the floor, always congested.
  for (int ms = 0; ms < 20'000; ms += 33) rc.update(path(ms, 900, 100, 50'000, 50'000));
  const auto low = rc.decision();
  EXPECT_EQ(low.bitrate, RateController::floorBitrate);
  EXPECT_DOUBLE_EQ(low.jpegQuality, RateController::floorJpegQuality);
  EXPECT_EQ(low.queueBytes, RateController::minQueueBytes);
  // Far fewer pictures, but never fewer than the floor, even for the fastest preset.
  EXPECT_LT(low.fps, 10);
  RateController fastest({20'000'000, 60, 0.75});
  for (int ms = 0; ms < 20'000; ms += 33) fastest.update(path(ms, 900, 100, 50'000, 50'000));
  EXPECT_GE(fastest.decision().fps, RateController::floorFps);
  // Then a fast, empty path: back up to exactly the preset, never beyond, with keyframes of up to a second.
  for (int ms = 20'000; ms < 80'000; ms += 33) rc.update(path(ms, 1, 1, 1'000'000'000));
  EXPECT_EQ(rc.decision(), (RateController::Decision{8'000'000, 8'000'000, 30, 0.6, 16 * 1024}));

  // Full frame rate holds down to half the preset's rate; a tenth of it keeps more than a third of the pictures.
  RateController half(balanced);
  half.update(path(0, 250, 100, 5'000'000));
  EXPECT_GT(half.decision().bitrate, 4'000'000);
  EXPECT_EQ(half.decision().fps, 30);
  EXPECT_LT(half.decision().jpegQuality, 0.6);
  RateController tenth(balanced);
  tenth.update(path(0, 400, 100, 940'000));
  EXPECT_LE(tenth.decision().bitrate, 800'000);
  EXPECT_GT(tenth.decision().fps, 10);
}

// Recorded the way the host session feeds it: one reading per frame at 30 frames a second, first a
// 10 Mbit/s path, then the same path at 2 Mbit/s with its queue filling.
TEST(RateController, FollowsARateDropWithinTwoSeconds) {
  RateController rc(balanced);
  int ms = 0;
  for (; ms < 5000; ms += 33) rc.update(path(ms, 61, 60, 10'000'000));
  EXPECT_EQ(rc.decision().bitrate, 8'000'000);
  const int drop = ms;
  for (; ms < drop + 2000; ms += 33) {
    // The queue grows while we send faster than the path; it shrinks again once we are below it.
    const bool above = rc.decision().bitrate > 2'000'000;
    rc.update(path(ms, above ? 110 : 65, 60, 2'000'000));
  }
  EXPECT_LE(rc.decision().bitrate, 2'000'000);
  EXPECT_GE(rc.decision().bitrate, 1'000'000);  // backed off, not starved
  EXPECT_EQ(rc.pathBitrate(), 2'000'000) << "the faster path before the drop is forgotten";
  EXPECT_LE(rc.decision().bufferBits, 2'000'000 * RateController::keyframeMicros / 1'000'000);
}

// A path whose acknowledgements come from a middlebox: only what drained while our bytes waited tells
// its rate, and that rate sizes both queues.
TEST(RateController, LearnsThePathRateFromWhatDrainsWhileBytesWait) {
  RateController ranDry(balanced);
  // Each reading's backlog is less than what left before the next: the path may have idled in between.
  drainBehindMiddlebox(ranDry, 0, 2000, 1'000'000, 2000);
  EXPECT_EQ(ranDry.pathBitrate(), 8'000'000'000) << "only the kernel's samples";
  EXPECT_EQ(ranDry.decision().queueBytes, RateController::maxQueueBytes);

  RateController rc(balanced);
  drainBehindMiddlebox(rc, 0, 2000, 1'000'000, 6000);
  EXPECT_NEAR(static_cast<double>(rc.pathBitrate()), 1e6, 1e5);
  EXPECT_EQ(rc.decision().queueBytes, RateController::minQueueBytes) << "a few milliseconds of a slow path";
  // A span that ran dry in the middle neither ends the measurement nor counts.
  for (int ms = 2000; ms < 2200; ms += 33) rc.update(behindMiddlebox(ms, 1'000'000, 100));
  drainBehindMiddlebox(rc, 2200, 2400, 1'000'000, 6000);
  EXPECT_NEAR(static_cast<double>(rc.pathBitrate()), 1e6, 1e5);
}

// A fast path that never fills shows no rate of its own: every sample is one we limited. Once we have
// sent near the target without a queue for a while, keyframes (the encoder's buffer) are sized as on a
// path of the target's rate; a still screen proves nothing, and a back-off undoes it.
TEST(RateController, SizesKeyframesForTheTargetOnceAFastPathCarriedIt) {
  RateController rc(balanced);
  const std::int64_t unknown = rc.decision().bufferBits;
  std::int64_t sent = 1;
  int ms = 0;
  const auto sendFor = [&](int untilMs, std::int64_t bitsPerSecond) {
    for (RateController::Sample s; ms < untilMs; ms += 33, rc.update(s)) {
      s = path(ms, 1, 1, 900'000'000, 0, true);
      s.bytesSent = s.bytesAcked = sent += bitsPerSecond / 8 * 33 / 1000;
    }
  };
  sendFor(2500, 500'000);
  EXPECT_EQ(rc.decision().bufferBits, unknown) << "a still screen";
  sendFor(5000, 6'000'000);
  EXPECT_EQ(rc.decision().bufferBits, 8'000'000 * RateController::keyframeMicros / 1'000'000);
  rc.update(path(ms, 300, 1, 0));
  EXPECT_LT(rc.decision().bitrate, 8'000'000);
  EXPECT_LE(rc.decision().bufferBits, unknown) << "backed off: the path is unknown again";
}

}  // namespace
}  // namespace pellora
