// A host session against a viewer over a real channel pair on loopback, with a fake screen, input sink
// and sound source below the platform interfaces.

#include "host/host_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "base/process_queues.h"
#include "host/fake_audio_source.h"
#include "host/fake_input_event_sink.h"
#include "host/fake_screen_capturer.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

using test::FakeScreen;
using test::Loopback;

// One session and the viewer's end of its channel. The test thread runs the loopback context, which
// plays the main strand.
class Harness {
 public:
  explicit Harness(HostSession::Options options = {}) {
    std::tie(viewer, host) = net.channelPair();
    options.name = "Masa";
    options.downloadDirectory = downloads;
    HostPlatform platform;
    platform.makeCapturer = [screen = screen] { return std::make_unique<test::FakeScreenCapturer>(screen); };
    platform.makeInputSink = [] { return std::make_unique<FakeInputEventSink>(); };
    platform.makeAudioSource = [this]() -> std::unique_ptr<AudioSource> {
      auto s = std::make_unique<FakeAudioSource>();
      std::lock_guard guard(lock);
      audio = s.get();
      return s;
    };
    session = HostSession::make(host, options, platform);
    session->onClipboard = [this](const std::string& t) { clipboard.push_back(t); };
    session->onChat = [this](const std::string& t) { chat.push_back(t); };
    session->onTransfer = [this](const TransferProgress& p) {
      std::lock_guard guard(lock);
      transfers.push_back(p);
    };
    ended = net.spawn(session->run());
  }
  ~Harness() {
    viewer->close(std::nullopt);
    net.runUntil([&] { return ended->done; });
  }

  void hello(std::vector<std::uint8_t> codecs = {2}) { viewer->send(Message::ViewerHello{PeerOS::macOS, codecs}); }

  Message receive() {
    auto outcome = net.spawn(viewer->receive());
    net.runUntil([&] { return outcome->done; });
    if (outcome->error) std::rethrow_exception(outcome->error);
    return *outcome->value;
  }
  // The next message of type Case; the ones before it are skipped.
  template <typename Case>
  Case next() {
    for (;;) {
      Message m = receive();
      if (auto c = m.as<Case>()) return *c;
    }
  }
  // Everything the host sent until it answered a fresh ping: every message sent before has been handled.
  std::vector<Message> sync() {
    const std::uint64_t value = ++pings;
    viewer->send(Message::Ping{value});
    std::vector<Message> before;
    for (;;) {
      Message m = receive();
      if (auto p = m.as<Message::Pong>(); p && p->value == value) return before;
      before.push_back(std::move(m));
    }
  }
  // Hello answered and capture running.
  void started(std::vector<std::uint8_t> codecs = {2}) {
    hello(std::move(codecs));
    next<Message::DisplayList>();
    sync();
  }
  std::string endReason() {
    net.runUntil([&] { return ended->done; });
    return ended->value.value_or("(failed)");
  }
  std::vector<TransferProgress> transfersSoFar() {
    std::lock_guard guard(lock);
    return transfers;
  }

  test::TempDir folder{"host-session"};
  std::filesystem::path downloads = folder.path;
  Loopback net;
  std::shared_ptr<SecureChannel> viewer, host;
  std::shared_ptr<FakeScreen> screen = std::make_shared<FakeScreen>();
  std::mutex lock;
  FakeAudioSource* audio = nullptr;
  std::shared_ptr<HostSession> session;
  std::shared_ptr<test::Outcome<std::string>> ended;
  std::vector<std::string> clipboard, chat;
  std::vector<TransferProgress> transfers;
  std::uint64_t pings = 1000;
};

TEST(HostSessionTest, AnswersTheHelloWithTheViewersPreferredCodec) {
  const std::vector<std::pair<std::vector<std::uint8_t>, std::uint8_t>> cases = {
      {{2, 1}, 2}, {{1, 2}, 1}, {{9}, 2}, {{}, 2}};
  for (const auto& [codecs, expected] : cases) {
    Harness h;
    h.hello(codecs);
    const auto info = h.next<Message::HostInfo>();
    EXPECT_EQ(info.codec, expected);
    EXPECT_EQ(info.os, PeerOS::linux);
    EXPECT_EQ(info.name, "Masa");
    EXPECT_EQ(h.next<Message::FeaturesMsg>().features.raw, Features::all);
    EXPECT_EQ(h.next<Message::DisplayList>().displays, h.screen->displays);
    h.sync();
    // The capture follows the balanced preset for the codec chosen.
    EXPECT_EQ(h.screen->lastStart().fps, captureFps(Quality::balanced, static_cast<Codec>(expected)));
    EXPECT_EQ(h.screen->lastStart().maxDimension, preset(Quality::balanced).maxDimension);
  }
}

TEST(HostSessionTest, EndReasons) {
  {
    Harness h;
    h.viewer->send(Message::Ping{1});
    EXPECT_EQ(h.endReason(), "Beklenmeyen ilk mesaj");
    EXPECT_ANY_THROW(h.receive());  // nothing was sent, the connection is closed
    EXPECT_EQ(h.screen->startCount(), 0);
  }
  // A goodbye ends with its reason, or with a text of our own when it gives none; capture stops.
  for (const auto& [reason, expected] : {std::pair{"", "Karşı taraf ayrıldı"}, std::pair{"Görüşürüz", "Görüşürüz"}}) {
    Harness h;
    h.started();
    h.viewer->send(Message::Bye{reason});
    EXPECT_EQ(h.endReason(), expected);
    EXPECT_EQ(h.screen->stops, 1);
  }
}

TEST(HostSessionTest, JPEGUpdatesStartFullAfterEveryCaptureRestart) {
  Harness h;
  h.started({2});
  auto update = [&](std::vector<PixelRect> dirty) {
    EXPECT_TRUE(h.screen->deliver(test::greyFrame(320, 240, std::move(dirty))));
    return h.next<Message::ImageRegions>();
  };
  EXPECT_TRUE(update({{0, 0, 8, 8}}).full);  // the first update covers the frame
  const auto partial = update({{0, 0, 8, 8}});
  EXPECT_FALSE(partial.full);
  ASSERT_EQ(partial.regions.size(), 1u);
  EXPECT_EQ(partial.regions[0].width, 64);
  EXPECT_TRUE(update({}).full);  // no change list: the whole frame

  h.viewer->send(Message::SetQuality{7});  // high
  h.sync();
  EXPECT_EQ(h.screen->startCount(), 2);
  EXPECT_EQ(h.screen->lastStart().maxDimension, preset(Quality::high).maxDimension);
  EXPECT_TRUE(update({{0, 0, 8, 8}}).full);

  h.viewer->send(Message::SetQuality{2});  // still high: nothing restarts
  h.viewer->send(Message::SelectDisplay{0});  // the display in use
  h.sync();
  EXPECT_EQ(h.screen->startCount(), 2);
  EXPECT_FALSE(update({{0, 0, 8, 8}}).full);

  // An id the capturer does not know is its business (it takes the first display); the session goes on.
  h.viewer->send(Message::SelectDisplay{0xdeadbeef});
  h.viewer->send(Message::SelectDisplay{0xdeadbeef});
  h.sync();
  EXPECT_EQ(h.screen->startCount(), 3);
  EXPECT_EQ(h.screen->lastStart().displayID, 0xdeadbeefu);
  EXPECT_TRUE(update({{0, 0, 8, 8}}).full);

  h.viewer->send(Message::RequestKeyframe{});
  EXPECT_TRUE(h.next<Message::ImageRegions>().full);
}

TEST(HostSessionTest, H264StartsWithAConfiguredKeyframeAfterEveryRestart) {
  Harness h;
  h.started({1});
  auto firstAfter = [&] {
    std::vector<Message> seen;
    while (seen.empty() || !seen.back().is<Message::VideoFrame>()) seen.push_back(h.receive());
    return seen;
  };
  auto keyframe = [&] {
    auto seen = firstAfter();
    return seen.size() >= 2 && seen[seen.size() - 2].is<Message::VideoConfig>() &&
           seen.back().as<Message::VideoFrame>()->keyframe;
  };
  h.screen->deliver(test::greyFrame(320, 240));
  EXPECT_TRUE(keyframe());
  h.screen->deliver(test::greyFrame(320, 240));
  EXPECT_FALSE(firstAfter().back().as<Message::VideoFrame>()->keyframe);
  h.viewer->send(Message::SetQuality{0});
  h.sync();
  EXPECT_EQ(h.screen->lastStart().maxDimension, preset(Quality::low).maxDimension);
  h.screen->deliver(test::greyFrame(320, 240));
  EXPECT_TRUE(keyframe());
}

TEST(HostSessionTest, AFullSendQueueHoldsFramesBackAndSendsTheNewestOnceItDrains) {
  Harness h;
  h.started({2});
  // The viewer stops reading; far more than the socket buffers and the 3 MiB budget gets queued.
  const Bytes filler(1 << 20, 0x55);
  for (int i = 0; i < 24; ++i) h.host->send(Message::VideoFrame{false, 0, filler});
  ASSERT_GT(h.host->queuedBytes(), videoBudget(Quality::balanced, Codec::jpegRegions));
  h.screen->deliver(test::greyFrame(64, 64));
  h.screen->deliver(test::greyFrame(128, 64));
  // Let the video queue take both frames while the queue is still full (no assertion on time).
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int fillers = 0;
  for (;;) {
    Message m = h.receive();
    if (m.is<Message::VideoFrame>()) {
      ++fillers;
      continue;
    }
    auto regions = m.as<Message::ImageRegions>();
    if (!regions) continue;
    EXPECT_EQ(fillers, 24);
    EXPECT_EQ(regions->width, 128u);  // the newest frame, sent without a new one arriving
    break;
  }
}

TEST(HostSessionTest, SoundIsConfiguredOncePerSwitchOn) {
  Harness h;
  h.started();
  h.viewer->send(Message::SetAudio{true});
  h.viewer->send(Message::SetAudio{true});
  // The configurations sent once the session handled what came before and the sound queue set it up.
  auto configs = [&] {
    std::vector<Message> messages = h.sync();
    soundDeviceQueue().waitUntilIdle();
    for (Message& m : h.sync()) messages.push_back(std::move(m));
    std::vector<Message::AudioConfig> out;
    for (const auto& m : messages)
      if (auto c = m.as<Message::AudioConfig>()) out.push_back(*c);
    return out;
  };
  auto first = configs();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], (Message::AudioConfig{1, 48'000, 2, 20}));

  {
    std::lock_guard guard(h.lock);
    h.audio->deliver(std::vector<float>(2 * 960 * 2, 0.25f));  // two packets' worth
  }
  EXPECT_EQ(h.next<Message::AudioPacket>().ptsMicros, 0u);
  EXPECT_EQ(h.next<Message::AudioPacket>().ptsMicros, 20'000u);

  h.viewer->send(Message::SetAudio{false});
  h.viewer->send(Message::SetAudio{true});
  EXPECT_EQ(configs().size(), 1u);
}

TEST(HostSessionTest, ClipboardFollowsTheOptionChatAlwaysPasses) {
  for (bool sync : {false, true}) {
    HostSession::Options options;
    options.syncClipboard = sync;
    Harness h(options);
    h.started();
    h.viewer->send(Message::ClipboardText{"kopya"});
    h.viewer->send(Message::ChatText{"merhaba"});
    h.sync();
    EXPECT_EQ(h.clipboard, sync ? std::vector<std::string>{"kopya"} : std::vector<std::string>{});
    EXPECT_EQ(h.chat, std::vector<std::string>{"merhaba"});
  }
}

TEST(HostSessionTest, TransfersInBothDirectionsFailWhenTheConnectionEnds) {
  Harness h;
  h.started();
  const auto file = h.downloads / "out.txt";
  std::ofstream(file) << "hello";
  h.session->sender()->enqueue(file);
  EXPECT_EQ(h.next<Message::FileOffer>().name, "out.txt");
  h.viewer->send(Message::FileOffer{2, "in.txt", 100});
  EXPECT_EQ(h.next<Message::FileAccept>().id, 2u);
  h.viewer->send(Message::FileChunk{2, 0, Bytes(10, 1)});
  h.sync();

  h.viewer->close(std::nullopt);
  h.endReason();
  h.net.runUntil([&] {
    int failed = 0;
    for (const auto& p : h.transfersSoFar()) failed += std::holds_alternative<TransferProgress::Failed>(p.state);
    return failed == 2;
  });
  for (const auto& entry : std::filesystem::directory_iterator(h.downloads))
    EXPECT_EQ(entry.path().filename(), "out.txt");  // no partial file left behind
}

}  // namespace
}  // namespace pellora
