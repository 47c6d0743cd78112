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

  // The part after the first loud sample, once `frames` of it are there; empty if that never happens.
  std::vector<float> loudPart(std::size_t frames) {
    std::unique_lock lock(mutex);
    std::vector<float> part;
    grew.wait_for(lock, 20s, [&] {
      std::size_t first = 0;
      while (first < stereo.size() && std::abs(stereo[first]) < 0.05f) ++first;
      first -= first % 2;
      if (stereo.size() - first < frames * 2) return false;
      part.assign(stereo.begin() + static_cast<std::ptrdiff_t>(first),
                  stereo.begin() + static_cast<std::ptrdiff_t>(first + frames * 2));
      return true;
    });
    return part;
  }
};

TEST_F(PulseAudioTest, OpusPacketsPlayedOnTheSinkComeBackFromItsMonitor) {
  Capture capture;
  PulseAudioSource source(server_->address());
  source.onAudio = [&capture](const AudioSampleBuffer& b) { capture.add(b); };
  source.start();

  // The whole chain of a session: encode as the host does, play as the viewer does.
  OpusEncoder encoder(2, 96'000);
  AudioPlayer player(2, std::make_unique<PulseAudioOutput>(server_->address()));
  const auto packets = encoder.encode(test::tone({750, 1500}, 50 * 960));
  for (const Bytes& p : packets) {
    // Keep the player fed without tripping its overflow rule, as a live stream would.
    ASSERT_TRUE(test::eventually([&] { return player.queuedFrames() <= 7'680; }, 30s, 5ms));
    player.play(p);
    player.waitUntilIdle();
  }

  // Half a second from the middle of the tone, past the codec's start-up.
  const auto heard = capture.loudPart(48'000);
  player.stop();
  source.stop();
  ASSERT_EQ(heard.size(), 2u * 48'000) << "the monitor never delivered the tone";
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
