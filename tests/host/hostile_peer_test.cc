// Real host and viewer sessions against a scripted hostile peer over loopback secure channels: floods and
// nonsense that a well-behaved peer never sends. Each attack checks what the session keeps (queues,
// histories, tables, buffers) and that it still serves the next honest message; none looks at a clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <set>

#include "base/process_queues.h"
#include "host_session_rig.h"
#include "support/empty_file_flood.h"
#include "support/eventually.h"
#include "support/hostile_scripts.h"
#include "support/settings_stack.h"
#include "viewer/fake_audio_output.h"
#include "viewer/viewer_session.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
namespace hostile = test::hostile;
using M = Message;

// One session under attack, host or viewer, with the peer's end of its channel. The rig comes second: its
// network thread stops before the settings go.
class Arena : public test::SettingsStack, public test::HostSessionRig {
 public:
  ~Arena() {
    if (viewer) {
      onMain([&] {
        viewer->disconnect();
        viewer.reset();
      });
    }
  }

  template <typename Job>
  auto onMain(Job job) -> std::invoke_result_t<Job&> {
    return test::onStrand(network.mainStrand(), std::move(job));
  }

  // A host session that answered the peer's hello (JPEG regions) and captures.
  void hostUnderAttack() { hostStarted({2}); }

  // A viewer session whose announcement the peer has read.
  void viewerUnderAttack() {
    auto [mine, theirs] = test::channelPair(network);
    peer = std::make_unique<test::ScriptedPeer>(network, theirs);
    ViewerPlatform platform{[this] {
                              ++outputsMade;
                              return std::make_unique<FakeAudioOutput>();
                            },
                            nullptr};
    ViewerSession::Dependencies deps{network, cpu, settings, platform, "Görüntüleyen", downloads.path};
    deps.statisticsInterval = std::chrono::hours(24);
    viewer = onMain([&] { return ViewerSession::attach(deps, {ViewerTarget::Direct{"127.0.0.1", 1}}, mine); });
    peer->next<M::SetQuality>();
  }
  ViewerSession::State viewerState() {
    return onMain([&] { return viewer->state(); });
  }
  bool viewerConnected() {
    return std::holds_alternative<ViewerSession::Connected>(viewerState().phase);
  }
  std::string clipboardSeen() {
    const auto texts = seen(clipboard);
    return texts.empty() ? "" : texts.back();
  }

  std::atomic<int> outputsMade{0};
  std::shared_ptr<ViewerSession> viewer;  // main strand
};

// Reads until the first full canvas update; the number of canvas updates read on the way, that one included.
int updatesUntilFull(test::ScriptedPeer& peer) {
  for (int updates = 1;; ++updates) {
    const auto update = peer.next<M::ImageRegions>();
    if (update.full) return updates;
  }
}

// A viewer that stops reading and asks for keyframes over and over gets no picture past the video budget,
// yet the request is kept: the picture follows once it reads again.
void keyframeFlood(Arena& a) {
  a.hostUnderAttack();
  a.screen->deliver(test::greyFrame(64, 64));
  ASSERT_EQ(updatesUntilFull(*a.peer), 1);

  const Bytes filler(1 << 20, 0x55);
  for (int i = 0; i < 24; ++i) a.host->channel()->send(M::VideoFrame{false, 0, filler});
  const std::int64_t full = a.host->channel()->queuedBytes();
  ASSERT_GT(full, videoBudget(Quality::balanced, Codec::jpegRegions));

  a.peer->sendAll(hostile::repeated(M::RequestKeyframe{}, 20'000));
  // Handled in order on the video queue before the capture restarts for the new quality.
  a.peer->send(M::SetQuality{toByte(Quality::high)});
  ASSERT_TRUE(test::eventually([&] { return a.screen->startCount() == 2; }));
  EXPECT_LE(a.host->channel()->queuedBytes(), full) << "pictures were queued past the budget";

  // After the restart: one picture, then the queue full again and a single request.
  for (int i = 0; i < 24; ++i) a.host->channel()->send(M::VideoFrame{false, 0, filler});
  a.screen->deliver(test::greyFrame(128, 64));
  a.peer->send(M::RequestKeyframe{});
  a.peer->send(M::ClipboardText{"sentinel"});
  ASSERT_TRUE(test::eventually([&] { return a.clipboardSeen() == "sentinel"; }));
  // What the flood left queued: at most the one picture; the held request then arrives as a full picture.
  int updates = 0;
  for (;;) {
    const auto update = a.peer->next<M::ImageRegions>();
    ++updates;
    if (update.width == 128 && update.full) break;
  }
  EXPECT_LE(updates, 2);
}

// Cancels for transfers the host never started leave its table alone: its first real file goes through.
void unknownCancelsAtTheHost(Arena& a) {
  a.hostUnderAttack();
  auto sender = a.host->sender();  // made on first use: cancels reach it only once it exists
  a.peer->sendAll(hostile::unknownCancels(10'000, 1));
  a.peer->sync();
  std::ofstream(a.folder.path / "a.txt") << "abc";
  const std::uint32_t id = sender->enqueue(a.folder.path / "a.txt");
  EXPECT_EQ(a.peer->next<M::FileOffer>().id, id);
  a.peer->send(M::FileAccept{id});
  EXPECT_EQ(a.peer->next<M::FileDone>().id, id);
}

void unknownCancelsAtTheViewer(Arena& a) {
  a.viewerUnderAttack();
  a.peer->sendAll(hostile::unknownCancels(10'000, 0));
  a.peer->sync();
  std::ofstream(a.folder.path / "b.txt") << "abc";
  a.onMain([&] { a.viewer->sendFiles({a.folder.path / "b.txt"}); });
  const auto offer = a.peer->next<M::FileOffer>();
  a.peer->send(M::FileAccept{offer.id});
  EXPECT_EQ(a.peer->next<M::FileDone>().id, offer.id);
}

std::vector<std::string> filesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator(); ++it)
    names.push_back(it->path().filename().string());
  return names;
}

// Offers of an empty file, each finished once accepted: the session saves as many as its cap allows under
// bounded names, refuses the rest, leaves nothing partial, and keeps answering.
void emptyFileFlood(Arena& a) {
  a.hostUnderAttack();
  const auto cap = static_cast<int>(IncomingFileLimits{}.maxFiles);
  int pings = 0;
  const auto flood = test::floodEmptyFiles(*a.peer, 3 * cap, static_cast<int>(FileReceiver::maxIncoming), [&] {
    if (++pings % 25 == 0) a.peer->sync();  // the session still answers in the middle of the flood
  });
  EXPECT_EQ(flood.accepted, cap);
  EXPECT_EQ(flood.rejected, 2 * cap);
  a.host->receiver()->waitUntilIdle();
  auto names = filesIn(a.downloads.path);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(cap));
  EXPECT_TRUE(std::none_of(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".part"); }));
  EXPECT_TRUE(std::count(names.begin(), names.end(), "a (1000)"));
  a.peer->send(M::ClipboardText{"sentinel"});
  EXPECT_TRUE(test::eventually([&] { return a.clipboardSeen() == "sentinel"; }));
}

// The chat keeps its newest lines; the session answers right after the flood.
void chatFlood(Arena& a) {
  a.viewerUnderAttack();
  a.peer->sendAll(hostile::chatFlood(3'000));
  a.peer->sync();
  const auto s = a.viewerState();
  ASSERT_EQ(s.chat.size(), ChatHistory::capacity);
  EXPECT_EQ(s.chat.front().text.substr(0, 5), "2500:");
  EXPECT_EQ(s.chat.back().text.substr(0, 5), "2999:");
  EXPECT_EQ(s.unreadChat, 3'000);
}

// Huge canvases with nothing drawable in them are drawn into a few buffers that take turns, never a new
// copy of the canvas per message.
void oversizedRegions(Arena& a) {
  a.viewerUnderAttack();
  std::mutex lock;
  std::set<const std::uint8_t*> buffers;
  int pictures = 0;
  auto sink = a.viewer->renderer()->sink();
  sink->setOnPicture([&] {
    std::lock_guard guard(lock);
    buffers.insert(sink->newest()->bgra.data());
    ++pictures;
  });
  a.peer->sendAll(hostile::oversizedRegions(12, 2048));
  a.peer->sync();
  a.viewer->renderer()->waitUntilIdle();
  sink->setOnPicture(nullptr);
  EXPECT_TRUE(a.viewerConnected());
  EXPECT_EQ(sink->newest()->width, 2048);
  EXPECT_EQ(pictures, 12);
  EXPECT_LE(buffers.size(), VideoRenderer::canvasBuffers);
}

// A renderer that falls behind drops what waits and asks for a full picture, as after a decode failure.
void renderQueueOverflow(Arena& a) {
  a.viewerUnderAttack();
  auto renderer = a.viewer->renderer();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> blocking{true};
  renderer->sink()->setOnPicture([&, released] {
    if (blocking) released.wait();  // holds the render queue
  });
  const M::ImageRegions small{64, 64, true, {}};
  a.peer->sendAll(hostile::repeated(small, 3 * static_cast<int>(VideoRenderer::maxQueued)));
  // The request may leave before the queue blocks (when the overflow came first): gather both rounds.
  auto answers = a.peer->sync();
  EXPECT_GE(renderer->overflows(), 1u);
  blocking = false;
  release.set_value();
  renderer->waitUntilIdle();
  renderer->sink()->setOnPicture(nullptr);
  for (Message& m : a.peer->sync()) answers.push_back(std::move(m));
  EXPECT_TRUE(std::any_of(answers.begin(), answers.end(), [](const Message& m) { return m.is<M::RequestKeyframe>(); }));
  a.peer->send(M::ImageRegions{64, 32, true, {}});
  a.peer->sync();
  renderer->waitUntilIdle();
  EXPECT_EQ(renderer->sink()->newest()->height, 32) << "pictures follow again";
}

// Sound the user has not switched on does not play, whatever the host configures.
void audioWhileOff(Arena& a) {
  a.viewerUnderAttack();
  a.peer->sendAll(hostile::audioConfigs());
  a.peer->sync();
  soundDeviceQueue().waitUntilIdle();
  EXPECT_EQ(a.outputsMade, 0);
  a.onMain([&] { a.viewer->toggleAudio(); });
  EXPECT_TRUE(a.peer->next<M::SetAudio>().on);
  a.peer->sendAll(hostile::audioConfigs());
  a.peer->sync();
  soundDeviceQueue().waitUntilIdle();
  EXPECT_EQ(a.outputsMade, 2) << "mono and stereo only";
}

struct Attack {
  const char* name;
  void (*play)(Arena&);
};

void PrintTo(const Attack& attack, std::ostream* out) { *out << attack.name; }

class HostilePeerTest : public ::testing::TestWithParam<Attack> {};

TEST_P(HostilePeerTest, StaysWithinItsBoundsAndKeepsServing) {
  Arena arena;
  GetParam().play(arena);
}

INSTANTIATE_TEST_SUITE_P(Attacks, HostilePeerTest,
                         ::testing::Values(Attack{"KeyframeFloodWithoutReading", keyframeFlood},
                                           Attack{"UnknownCancelsAtTheHost", unknownCancelsAtTheHost},
                                           Attack{"UnknownCancelsAtTheViewer", unknownCancelsAtTheViewer},
                                           Attack{"ChatFlood", chatFlood},
                                           Attack{"EmptyFileFlood", emptyFileFlood},
                                           Attack{"OversizedRegions", oversizedRegions},
                                           Attack{"RenderQueueOverflow", renderQueueOverflow},
                                           Attack{"AudioWhileOff", audioWhileOff}),
                         [](const ::testing::TestParamInfo<Attack>& attack) { return std::string(attack.param.name); });

}  // namespace
}  // namespace pellora
