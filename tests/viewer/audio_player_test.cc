#include "viewer/audio_player.h"

#include <gtest/gtest.h>

#include "core/transport_error.h"
#include "support/opus_packets.h"
#include "viewer/fake_audio_output.h"

namespace pellora {
namespace {

struct PlayerUnderTest {
  FakeAudioOutput* output = new FakeAudioOutput;
  AudioPlayer player{2, std::unique_ptr<AudioOutput>(output)};
  // The player must handle any packet length the codec allows, not only the 20 ms ones our encoder makes.
  test::RawOpusPackets full{{750, 1500}, 960}, half{{750, 1500}, 480};

  void play(Bytes packet) {
    player.play(std::move(packet));
    player.waitUntilIdle();
  }
};

TEST(AudioPlayer, StartsOnceEightyMillisecondsAreQueuedAndNeverPausesAgain) {
  PlayerUnderTest t;
  EXPECT_EQ(t.output->log().channels, 2);
  for (int i = 0; i < 3; ++i) t.play(t.full.next());
  EXPECT_EQ(t.output->log().playCalls, 0);
  EXPECT_EQ(t.player.queuedFrames(), 2880);
  t.play(t.full.next());
  EXPECT_EQ(t.output->log().playCalls, 1);
  EXPECT_EQ(t.output->log().scheduledAtPlay, 4u);
  // Draining the queue completely (an underrun) does not re-prime: the next packet goes straight out.
  t.output->consume(4);
  EXPECT_EQ(t.player.queuedFrames(), 0);
  t.play(t.full.next());
  EXPECT_EQ(t.output->log().playCalls, 1);
  EXPECT_EQ(t.output->log().scheduled.size(), 5u);
}

TEST(AudioPlayer, DropsNewPacketsWhileMoreThanAQuarterSecondIsQueued) {
  PlayerUnderTest t;
  for (int i = 0; i < 12; ++i) t.play(t.full.next());
  t.play(t.half.next());
  ASSERT_EQ(t.player.queuedFrames(), 12'000);
  t.play(t.full.next());  // exactly at the limit: still scheduled
  EXPECT_EQ(t.player.queuedFrames(), 12'960);
  t.play(t.full.next());  // above it: dropped, queued sound untouched
  EXPECT_EQ(t.player.queuedFrames(), 12'960);
  EXPECT_EQ(t.output->log().scheduled.size(), 14u);
  t.output->consume(1);  // back to 12,000: packets flow again
  t.play(t.full.next());
  EXPECT_EQ(t.output->log().scheduled.size(), 15u);
}

TEST(AudioPlayer, IgnoresPacketsThatDoNotDecode) {
  PlayerUnderTest t;
  t.play({});
  t.play(Bytes{0xfb, 0x3f});
  t.play(Bytes(3000, 0xff));
  EXPECT_TRUE(t.output->log().scheduled.empty());
  EXPECT_EQ(t.player.queuedFrames(), 0);
}

TEST(AudioPlayer, StopEndsTheOutputAndLaterPacketsAreIgnored) {
  PlayerUnderTest t;
  t.play(t.full.next());
  t.player.stop();
  EXPECT_TRUE(t.output->log().stopped);
  t.player.play(t.full.next());
  t.player.waitUntilIdle();
  t.player.stop();
  EXPECT_EQ(t.output->log().scheduled.size(), 1u);
}

TEST(AudioPlayer, CreationFailuresReachTheCaller) {
  auto failing = std::make_unique<FakeAudioOutput>();
  failing->failOpen = true;
  EXPECT_THROW(AudioPlayer(2, std::move(failing)), TransportError);
  EXPECT_THROW(AudioPlayer(3, std::make_unique<FakeAudioOutput>()), OpusError);
}

}  // namespace
}  // namespace pellora
