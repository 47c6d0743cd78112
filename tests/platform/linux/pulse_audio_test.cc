// The PulseAudio output and source against a private sound server with a null sink: a tone played through
// the output comes back from the sink's monitor. Skipped where no server can be started.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "core/opus_codec.h"
#include "core/transport_error.h"
#include "host/audio_samples.h"
#include "platform/linux/audio_output_pulse.h"
#include "platform/linux/audio_source_pulse.h"
#include "platform/linux/pulse_connection.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/json_file.h"
#include "support/temp_dir.h"
#include "support/tone.h"
#include "viewer/audio_player.h"

namespace pellora {
namespace {

using namespace std::chrono_literals;

// A sound server of our own: runtime and config under a temporary folder, one null sink at 48 kHz float
// (so nothing is resampled), reachable only through a socket in that folder. Its environment holds only
// PATH and that folder, so nothing of the user's sound settings is read.
class PulseServer {
 public:
  PulseServer() {
    const std::string dir = folder_.path.string();
    process_ = std::make_unique<test::ChildProcess>(
        "/bin/sh",
        std::vector<std::string>{
            "-c",
            "exec env -i PATH=\"$PATH\" HOME=\"$0\" XDG_RUNTIME_DIR=\"$0\" XDG_CONFIG_HOME=\"$0\" pulseaudio \"$@\" "
            ">/dev/null 2>\"$0/server.log\"",
            dir, "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no", "--high-priority=no",
            "-n", "--log-target=stderr", "-L", "module-null-sink sink_name=pellora_test format=float32le rate=48000",
            "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + dir + "/native"});
    // A startup deadline, not a measurement: a healthy server answers within a fraction of it.
    std::optional<int> exited;
    const bool answered = test::eventually(
        [&] {
          if ((exited = process_->wait(0ms))) return true;
          try {
            PulseConnection probe(address(), "pellora.probe");
            return true;
          } catch (const TransportError&) {
            return false;
          }
        },
        20s, 50ms);
    if (exited == 127) {
      problem_ = "the pulseaudio program cannot be started (is the pulseaudio package installed?)";
    } else if (exited) {
      problem_ = "pulseaudio exited at start: " + test::readTextFile(folder_.path / "server.log");
    } else if (!answered) {
      problem_ = "pulseaudio did not answer on its socket";
    }
  }

  // Empty when the server is up; otherwise why not.
  const std::string& problem() const { return problem_; }
  std::string address() const { return "unix:" + (folder_.path / "native").string(); }

 private:
  test::TempDir folder_{"pellora-pulse"};
  std::unique_ptr<test::ChildProcess> process_;  // killed before the folder goes
  std::string problem_;
};

class PulseAudioTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new PulseServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->problem().empty()) GTEST_SKIP() << "no private sound server: " << server_->problem();
  }

  static PulseServer* server_;
};
PulseServer* PulseAudioTest::server_ = nullptr;

// What the monitor delivered, converted as the host session converts it.
struct Capture {
  std::mutex mutex;
  std::condition_variable grew;
  std::vector<float> stereo;
  bool wrongFormat = false;

  void add(const AudioSampleBuffer& b) {
    auto samples = AudioSamples::interleaved(b, 2);
    std::lock_guard lock(mutex);
    if (!samples) {
      wrongFormat = true;
    } else {
      stereo.insert(stereo.end(), samples->begin(), samples->end());
    }
    grew.notify_all();
  }

  // The first `frames` frames in a row in which the tone never drops out, once they are there; empty if
  // that does not happen within the bound. A server starved of processor time fills an underrun with
  // silence, which no part of a tone is for longer than a few samples around its zero crossings.
  std::vector<float> steadyPart(std::size_t frames, std::chrono::seconds bound = 30s) {
    std::unique_lock lock(mutex);
    grew.wait_for(lock, bound, [&] { return found(frames); });
    if (!found(frames)) return {};
    const auto from = stereo.begin() + static_cast<std::ptrdiff_t>(2 * start_);
    return std::vector<float>(from, from + static_cast<std::ptrdiff_t>(2 * frames));
  }
  bool heard(std::size_t frames) {
    std::lock_guard lock(mutex);
    return found(frames);
  }

 private:
  // Scans what arrived since the last call (under the mutex).
  bool found(std::size_t frames) {
    constexpr std::size_t longestQuiet = 24;  // half a millisecond
    for (; scanned_ < stereo.size() / 2 && !(loud_ && scanned_ - start_ >= frames); ++scanned_) {
      const bool quiet = std::abs(stereo[2 * scanned_]) < 0.05f && std::abs(stereo[2 * scanned_ + 1]) < 0.05f;
      quiet_ = quiet ? quiet_ + 1 : 0;
      if (quiet_ > longestQuiet) loud_ = false;
      if (!quiet && !loud_) {
        loud_ = true;
        start_ = scanned_;
      }
    }
    return loud_ && scanned_ - start_ >= frames;
  }
  std::size_t scanned_ = 0, start_ = 0, quiet_ = 0;
  bool loud_ = false;
};

TEST_F(PulseAudioTest, OpusPacketsPlayedOnTheSinkComeBackFromItsMonitor) {
  Capture capture;
  PulseAudioSource source(server_->address());
  source.onAudio = [&capture](const AudioSampleBuffer& b) { capture.add(b); };
  source.start();

  // The whole chain of a session: encode as the host does, play as the viewer does, for as long as it takes
  // the monitor to deliver 0.6 s of the tone without a dropout (at most ten seconds of it).
  constexpr std::size_t wanted = 28'800;
  OpusEncoder encoder(2, 96'000);
  AudioPlayer player(2, std::make_unique<PulseAudioOutput>(server_->address()));
  const auto packets = encoder.encode(test::tone({750, 1500}, 500 * 960));
  for (std::size_t i = 0; i < packets.size() && !capture.heard(wanted); ++i) {
    // Keep the player fed without tripping its overflow rule, as a live stream would.
    ASSERT_TRUE(test::eventually([&] { return player.queuedFrames() <= 7'680; }, 30s, 5ms));
    player.play(packets[i]);
    player.waitUntilIdle();
  }

  // Half a second of it, past the codec's start-up where the stretch is the tone's beginning.
  const auto heard = capture.steadyPart(wanted);
  player.stop();
  source.stop();
  ASSERT_EQ(heard.size(), 2 * wanted) << "the monitor never delivered the tone without a dropout";
  EXPECT_FALSE(capture.wrongFormat);
  const std::span<const float> steady = std::span<const float>(heard).subspan(2 * 4'800, 2 * 24'000);
  const auto left = test::channelOf(steady, 2, 0), right = test::channelOf(steady, 2, 1);
  EXPECT_NEAR(test::zeroCrossingHz(left), 750, 4);
  EXPECT_NEAR(test::zeroCrossingHz(right), 1500, 8);
  EXPECT_NEAR(test::amplitudeAt(left, 750), 0.5, 0.1);
  EXPECT_LT(test::amplitudeAt(left, 1500), 0.05);
}

TEST_F(PulseAudioTest, StopEndsCallbacksAndTheSourceCanStartAgain) {
  std::atomic<int> buffers = 0;
  PulseAudioSource source(server_->address());
  source.onAudio = [&buffers](const AudioSampleBuffer&) { ++buffers; };
  for (int round = 0; round < 2; ++round) {
    source.start();
    const int before = buffers;
    EXPECT_TRUE(test::eventually([&] { return buffers > before; }, 20s)) << "round " << round;
    source.stop();
  }
  // A second stream on the same monitor hears several buffers; a stream left open by the first source would
  // have heard them too.
  const int afterStop = buffers;
  std::atomic<int> witnessed = 0;
  PulseAudioSource witness(server_->address());
  witness.onAudio = [&witnessed](const AudioSampleBuffer&) { ++witnessed; };
  witness.start();
  EXPECT_TRUE(test::eventually([&] { return witnessed >= 5; }, 20s));
  witness.stop();
  EXPECT_EQ(buffers, afterStop);
}

TEST(PulseAudio, AnUnreachableServerIsATransportError) {
  PulseAudioOutput output("unix:/nonexistent/pellora-socket");
  EXPECT_THROW(output.open(2), TransportError);
  PulseAudioSource source("unix:/nonexistent/pellora-socket");
  EXPECT_THROW(source.start(), TransportError);
  source.stop();
  output.stop();
}

}  // namespace
}  // namespace pellora
