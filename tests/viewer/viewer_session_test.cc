// A viewer session against a scripted host: the server side of the handshake over loopback, driven by
// the test, which then sends and reads messages like a host would.

#include "viewer/viewer_session.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <fstream>
#include <future>
#include <thread>

#include "core/handshake_error.h"
#include "support/credential_stores.h"
#include "support/settings_file.h"
#include "viewer/viewer_store.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Tcp = asio::ip::tcp;
using State = ViewerSession::State;

constexpr auto bound = 60s;  // only so that a broken test fails instead of hanging

template <typename T>
T await(std::future<T> future) {
  if (future.wait_for(bound) != std::future_status::ready) throw std::runtime_error("timed out");
  return future.get();
}

std::string phaseText(const ViewerSession::Phase& phase) {
  if (const auto* c = std::get_if<ViewerSession::Connecting>(&phase)) return "connecting: " + c->text;
  if (const auto* e = std::get_if<ViewerSession::Ended>(&phase)) return "ended: " + e->text;
  return "connected";
}

// A clipboard in memory.
class FakeClipboard : public Clipboard {
 public:
  std::uint64_t changeCount() override {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::optional<std::string> readText() override {
    std::lock_guard lock(mutex_);
    return text_;
  }
  std::uint64_t writeText(const std::string& text) override {
    std::lock_guard lock(mutex_);
    text_ = text;
    return ++count_;
  }

 private:
  std::mutex mutex_;
  std::uint64_t count_ = 1;
  std::optional<std::string> text_;
};

// Which audio outputs the sessions opened and stopped.
struct AudioLog {
  std::mutex mutex;
  std::vector<int> opened;  // channel counts
  int stopped = 0;
};
class RecordingOutput : public AudioOutput {
 public:
  explicit RecordingOutput(std::shared_ptr<AudioLog> log) : log_(std::move(log)) {}
  void open(int channels) override {
    std::lock_guard lock(log_->mutex);
    log_->opened.push_back(channels);
  }
  void schedule(std::vector<float>, std::function<void()>) override {}
  void play() override {}
  void stop() override {
    std::lock_guard lock(log_->mutex);
    ++log_->stopped;
  }

 private:
  std::shared_ptr<AudioLog> log_;
};

// The host's end: accepts one viewer on loopback, answers its handshake, then talks as the test says.
class ScriptedHost {
 public:
  ScriptedHost(NetworkThread& network, CpuPool& cpu)
      : network_(network), cpu_(cpu), acceptor_(network.context(), Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {}

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  void accept(std::string password, HandshakeStatus status = HandshakeStatus::ok) {
    auto serve = [this, password = std::move(password), status]() -> asio::awaitable<std::shared_ptr<SecureChannel>> {
      auto wire = Wire::accepted(co_await acceptor_.async_accept(asio::use_awaitable));
      SecureChannel::SessionAdmit admit = [status](const Hello&, bool) -> asio::awaitable<HandshakeStatus> {
        co_return status;
      };
      const std::string name = "Paylaşan";
      co_return co_await SecureChannel::server(wire, password, name, bound, admit, cpu_);
    };
    handshake_ = asio::co_spawn(network_.executor(), std::move(serve), asio::use_future);
  }
  // The channel once the handshake is over (throws what the handshake threw).
  const std::shared_ptr<SecureChannel>& channel() {
    if (!channel_) channel_ = await(std::move(handshake_));
    return channel_;
  }

  void send(const Message& message) { channel()->send(message); }
  // The viewer's next message; key-frame requests (the renderer's business) are skipped.
  Message next() {
    for (;;) {
      Message m = await(asio::co_spawn(network_.executor(), channel()->receive(), asio::use_future));
      if (!m.is<Message::RequestKeyframe>()) return m;
    }
  }
  // Returns once the viewer handled everything sent before: its answer to a ping comes after them.
  void sync() {
    const std::uint64_t token = ++syncs_ + 0xabcd'0000;
    send(Message::Ping{token});
    while (next() != Message(Message::Pong{token})) {
    }
  }

 private:
  NetworkThread& network_;
  CpuPool& cpu_;
  Tcp::acceptor acceptor_;
  std::future<std::shared_ptr<SecureChannel>> handshake_;
  std::shared_ptr<SecureChannel> channel_;
  std::uint64_t syncs_ = 0;
};

class ViewerSessionTest : public ::testing::Test {
 protected:
  ViewerSessionTest()
      : dir_(makeDir()),
        settingsFile_(dir_ / "settings.json"),
        secrets_(dir_ / "secrets.json"),
        permanent_(secrets_),
        settings_(settingsFile_, permanent_, dir_ / "autostart.desktop") {}

  static std::filesystem::path makeDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "viewer-session-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    return pattern;
  }

  // Runs `job` on the main strand, where sessions live, and returns its result.
  template <typename Job>
  auto onMain(Job job) {
    using Result = std::invoke_result_t<Job&>;
    std::promise<Result> done;
    auto future = done.get_future();
    asio::post(network_.mainStrand(), [&] {
      if constexpr (std::is_void_v<Result>) {
        job();
        done.set_value();
      } else {
        done.set_value(job());
      }
    });
    return await(std::move(future));
  }

  ~ViewerSessionTest() override {
    onMain([&] {
      for (auto& s : sessions_) s->disconnect();
      sessions_.clear();
    });
    network_.stop();
    cpu_.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  ViewerSession::Dependencies deps() {
    ViewerPlatform platform{[log = audioLog_] { return std::make_unique<RecordingOutput>(log); }, clipboard_};
    ViewerSession::Dependencies d{network_, cpu_, settings_, platform, "Görüntüleyen", dir_ / "downloads"};
    d.statisticsInterval = 24h;  // the tests tick themselves
    return d;
  }

  std::shared_ptr<ViewerSession> start(ViewerTarget target, std::string password) {
    auto session = onMain([&] {
      auto s = ViewerSession::make(deps(), std::move(target));
      sessions_.push_back(s);
      phases_.push_back(phaseText(s->state().phase));
      s->published().subscribe([this](const State& state) {
        std::string text = phaseText(state.phase);
        if (phases_.empty() || phases_.back() != text) phases_.push_back(text);
      });
      s->connect(std::move(password));
      return s;
    });
    return session;
  }
  ViewerTarget direct(std::uint16_t port) { return ViewerTarget{ViewerTarget::Direct{"127.0.0.1", port}}; }

  // A session connected to `host`, whose first three messages were read and checked.
  std::shared_ptr<ViewerSession> connected(ScriptedHost& host) {
    host.accept("parola");
    auto session = start(direct(host.port()), "parola");
    EXPECT_EQ(host.next(), Message(Message::ViewerHello{PeerOS::linux, {1, 2}}));
    EXPECT_EQ(host.next(), Message(Message::FeaturesMsg{Features{Features::all}}));
    EXPECT_EQ(host.next(), Message(Message::SetQuality{1}));
    waitFor(session, [](const State& s) { return s.phase == ViewerSession::Phase(ViewerSession::Connected{}); });
    return session;
  }

  template <typename Predicate>
  State waitFor(const std::shared_ptr<ViewerSession>& session, Predicate predicate) {
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
      State state = onMain([&] { return session->state(); });
      if (predicate(state)) return state;
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "state never came; last phase " << phaseText(state.phase);
        return state;
      }
      std::this_thread::sleep_for(5ms);
    }
  }
  State endedState(const std::shared_ptr<ViewerSession>& session) {
    return waitFor(session, [](const State& s) { return std::holds_alternative<ViewerSession::Ended>(s.phase); });
  }
  static std::string endedText(const State& state) {
    const auto* ended = std::get_if<ViewerSession::Ended>(&state.phase);
    return ended ? ended->text : "(not ended)";
  }
  std::vector<std::string> phases() {
    return onMain([&] { return phases_; });
  }

  std::filesystem::path dir_;
  SettingsFile settingsFile_;
  FileSecretStore secrets_;
  PermanentPasswordStore permanent_;
  AppSettings settings_;
  std::shared_ptr<AudioLog> audioLog_ = std::make_shared<AudioLog>();
  std::shared_ptr<FakeClipboard> clipboard_ = std::make_shared<FakeClipboard>();
  CpuPool cpu_{2};
  NetworkThread network_;
  std::vector<std::shared_ptr<ViewerSession>> sessions_;  // main strand
  std::vector<std::string> phases_;                       // main strand
};

TEST_F(ViewerSessionTest, ConnectsAnnouncesItselfAndFollowsTheHost) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  EXPECT_EQ(phases(), (std::vector<std::string>{
                          "connecting: Bağlanılıyor…",
                          "connecting: Kimlik doğrulanıyor… (karşı tarafın onayı bekleniyor olabilir)",
                          "connected",
                      }));
  State s = onMain([&] { return session->state(); });
  EXPECT_EQ(s.remoteName, "Paylaşan");
  EXPECT_EQ(s.remoteOS, PeerOS::linux);

  clipboard_->writeText("kopya");  // copied here: the watcher's next poll sends it
  EXPECT_EQ(host.next(), Message(Message::ClipboardText{"kopya"}));

  host.send(Message::HostInfo{PeerOS::macOS, 2, "Stüdyo"});
  host.send(Message::FeaturesMsg{Features{Features::audio | Features::chat}});
  host.send(Message::ChatText{"selam"});
  host.send(Message::ClipboardText{"panodan"});
  host.send(Message::Ping{77});
  EXPECT_EQ(host.next(), Message(Message::Pong{77}));
  host.sync();
  s = onMain([&] { return session->state(); });
  EXPECT_EQ(s.remoteOS, PeerOS::macOS);
  EXPECT_EQ(s.remoteName, "Stüdyo");
  EXPECT_EQ(s.codec, Codec::jpegRegions);
  EXPECT_EQ(s.peerFeatures.raw, Features::audio | Features::chat);
  ASSERT_EQ(s.chat.size(), 1u);
  EXPECT_FALSE(s.chat[0].fromMe);
  EXPECT_EQ(s.chat[0].text, "selam");
  EXPECT_EQ(s.unreadChat, 1);
  EXPECT_EQ(clipboard_->readText(), "panodan");

  // A codec byte we do not know is no codec at all.
  host.send(Message::HostInfo{PeerOS::macOS, 9, "Stüdyo"});
  host.sync();
  EXPECT_EQ(onMain([&] { return session->state().codec; }), std::nullopt);

  // Clipboard text from the peer is ignored while syncing is off.
  onMain([&] { settings_.setSyncClipboard(false); });
  host.send(Message::ClipboardText{"gizli"});
  host.sync();
  EXPECT_EQ(clipboard_->readText(), "panodan");
}

TEST_F(ViewerSessionTest, DisplayListSelectsPrimaryElseFirstAndKeepsASelection) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  const DisplayInfo a{5, 1920, 1080, false, "A"}, b{6, 1280, 720, false, "B"}, c{7, 800, 600, true, "C"};

  host.send(Message::DisplayList{{}});
  host.sync();
  State s = onMain([&] { return session->state(); });
  EXPECT_TRUE(s.displays.empty());
  EXPECT_EQ(s.selectedDisplay, std::nullopt) << "an empty list selects nothing";

  host.send(Message::DisplayList{{a, b}});
  host.sync();
  EXPECT_EQ(onMain([&] { return session->state().selectedDisplay; }), 5u) << "no primary: the first";

  host.send(Message::DisplayList{{b, c}});
  host.sync();
  s = onMain([&] { return session->state(); });
  EXPECT_EQ(s.displays, (std::vector<DisplayInfo>{b, c}));
  EXPECT_EQ(s.selectedDisplay, 5u) << "a later list keeps the selection";

  onMain([&] { session->selectDisplay(6); });
  EXPECT_EQ(host.next(), Message(Message::SelectDisplay{6}));
}

TEST_F(ViewerSessionTest, DisplayListSelectsThePrimaryDisplay) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  host.send(Message::DisplayList{{{5, 100, 100, false, "A"}, {7, 100, 100, true, "C"}}});
  host.sync();
  EXPECT_EQ(onMain([&] { return session->state().selectedDisplay; }), 7u);
}

TEST_F(ViewerSessionTest, ControlAndCommandSwapOnlyForAMacHost) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  auto press = [&](std::uint16_t usage) {
    onMain([&] {
      session->key(usage, true);
      session->key(usage, false);
    });
    const Message down = host.next(), up = host.next();
    EXPECT_EQ(down.as<Message::Key>()->down, true);
    EXPECT_EQ(up.as<Message::Key>()->hid, down.as<Message::Key>()->hid) << "released as pressed";
    return down.as<Message::Key>()->hid;
  };
  EXPECT_EQ(press(224), 224) << "a Linux host";

  host.send(Message::HostInfo{PeerOS::macOS, 1, "Mac"});
  host.sync();
  EXPECT_EQ(press(224), 227);
  EXPECT_EQ(press(227), 224);
  EXPECT_EQ(press(228), 231);
  EXPECT_EQ(press(231), 228);
  EXPECT_EQ(press(4), 4);

  onMain([&] { settings_.setSwapCommandControl(false); });
  EXPECT_EQ(press(224), 224) << "the setting is off";

  onMain([&] { settings_.setSwapCommandControl(true); });
  host.send(Message::HostInfo{PeerOS::windows, 1, "PC"});
  host.sync();
  EXPECT_EQ(press(224), 224) << "a Windows host";
}

TEST_F(ViewerSessionTest, DisconnectReleasesKeysSaysGoodbyeAndKeepsItsText) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  onMain([&] {
    session->key(4, true);
    session->key(225, true);
    session->disconnect();
  });
  EXPECT_EQ(host.next(), Message(Message::Key{4, true}));
  EXPECT_EQ(host.next(), Message(Message::Key{225, true}));
  EXPECT_EQ(host.next(), Message(Message::Key{4, false}));
  EXPECT_EQ(host.next(), Message(Message::Key{225, false}));
  EXPECT_EQ(host.next(), Message(Message::Bye{"İzleyici bağlantıyı kapattı"}));
  EXPECT_EQ(endedText(onMain([&] { return session->state(); })), "Bağlantı kapatıldı");

  // Input after the end goes nowhere; the connection then closes.
  onMain([&] { session->key(5, true); });
  EXPECT_THROW(host.next(), TransportError);
}

TEST_F(ViewerSessionTest, GoodbyeTextOutlivesTheDropAndADisconnect) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  // An offer left unanswered: when the receive loop ends it is abandoned, and its failure is reported
  // after the loop has handed the dropped connection to the session.
  std::ofstream(dir_ / "a.txt") << "a";
  onMain([&] { session->sendFiles({dir_ / "a.txt"}); });
  ASSERT_TRUE(host.next().is<Message::FileOffer>());

  host.channel()->close("");  // bye with an empty reason, then the connection drops
  const State dropped = waitFor(session, [](const State& s) {
    return !s.transfers.empty() && std::holds_alternative<TransferProgress::Failed>(s.transfers[0].state);
  });
  EXPECT_EQ(endedText(dropped), "Karşı taraf bağlantıyı kapattı");
  EXPECT_EQ(std::get<TransferProgress::Failed>(dropped.transfers[0].state).text, "Bağlantı kapandı");

  onMain([&] { session->disconnect(); });
  EXPECT_EQ(endedText(onMain([&] { return session->state(); })), "Karşı taraf bağlantıyı kapattı");
}

TEST_F(ViewerSessionTest, GoodbyeReasonOrTheDroppedConnectionEndsTheSession) {
  ScriptedHost withReason(network_, cpu_), dropping(network_, cpu_);
  auto first = connected(withReason);
  auto second = connected(dropping);
  withReason.channel()->close("Paylaşan bağlantıyı kesti");
  dropping.channel()->close(std::nullopt);
  EXPECT_EQ(endedText(endedState(first)), "Paylaşan bağlantıyı kesti");
  EXPECT_EQ(endedText(endedState(second)), "Bağlantı kapandı");
}

TEST_F(ViewerSessionTest, ChatIsTrimmedAndBoundedByTheMessageLimit) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  onMain([&] {
    session->sendChat("   ");
    session->sendChat("\t\n \xC2\xA0");  // tab, line feed, space, no-break space
    session->sendChat("  merhaba \n");
    session->sendChat("\xE3\x80\x80kedi\xE2\x80\xA8");  // ideographic space, line separator
  });
  EXPECT_EQ(host.next(), Message(Message::ChatText{"merhaba"}));
  EXPECT_EQ(host.next(), Message(Message::ChatText{"kedi"}));

  // A line beyond the 4,096 bytes a host accepts is cut at a character, not sent whole to end the session.
  std::string longLine;
  while (longLine.size() < 5000) longLine += "ğ";  // two bytes each
  longLine = "x" + longLine;
  onMain([&] { session->sendChat(longLine); });
  const Message received = host.next();
  ASSERT_TRUE(received.is<Message::ChatText>());
  EXPECT_EQ(received.as<Message::ChatText>()->text, longLine.substr(0, 4095));

  const State s = onMain([&] { return session->state(); });
  ASSERT_EQ(s.chat.size(), 3u);
  EXPECT_TRUE(s.chat[0].fromMe);
  EXPECT_EQ(s.chat[0].text, "merhaba");
  EXPECT_EQ(s.chat[1].text, "kedi");
  EXPECT_EQ(s.chat[2].text.size(), 4095u);
  EXPECT_EQ(s.unreadChat, 0);
}

TEST_F(ViewerSessionTest, StatisticsCountVideoOnlyAndPingsComeBackAsLatency) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);

  host.send(Message::VideoConfig{2, 640, 480, 0, {}});
  host.sync();
  onMain([&] { session->statisticsTick(); });
  State s = onMain([&] { return session->state(); });
  EXPECT_EQ(s.fps, 1) << "a configuration counts as a frame";
  EXPECT_EQ(s.kbps, 0);
  const Message ping = host.next();
  ASSERT_TRUE(ping.is<Message::Ping>());

  host.send(Message::VideoFrame{false, 1, Bytes(100'000, 0)});
  host.send(Message::ImageRegions{640, 480, false, {{0, 0, 8, 8, Bytes(20'000, 0)}, {8, 0, 8, 8, Bytes(5'000, 0)}}});
  host.send(Message::AudioPacket{1, Bytes(50'000, 0)});  // sound does not count
  host.send(Message::Pong{ping.as<Message::Ping>()->value});
  host.sync();
  onMain([&] { session->statisticsTick(); });
  s = onMain([&] { return session->state(); });
  EXPECT_EQ(s.fps, 2);
  EXPECT_EQ(s.kbps, 1000) << "125,000 bytes";
  ASSERT_TRUE(s.latencyMs.has_value());
  EXPECT_GE(*s.latencyMs, 0);
  EXPECT_LT(*s.latencyMs, 60'000);

  onMain([&] { session->statisticsTick(); });
  s = onMain([&] { return session->state(); });
  EXPECT_EQ(s.fps, 0) << "counters start again every tick";
  EXPECT_EQ(s.kbps, 0);
}

TEST_F(ViewerSessionTest, AudioConfigMakesAPlayerOnlyForMonoOrStereo) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  host.send(Message::AudioConfig{1, 48'000, 2, 20});
  host.sync();
  host.send(Message::AudioConfig{1, 48'000, 6, 20});
  host.send(Message::AudioConfig{1, 48'000, 0, 20});
  host.sync();
  {
    std::lock_guard lock(audioLog_->mutex);
    EXPECT_EQ(audioLog_->opened, std::vector<int>{2});
    EXPECT_EQ(audioLog_->stopped, 1) << "the stereo player stopped for the new configuration";
  }
  host.send(Message::AudioConfig{1, 48'000, 1, 20});
  host.sync();
  onMain([&] {
    session->toggleAudio();  // on
    session->toggleAudio();  // off: the player stops
  });
  EXPECT_EQ(host.next(), Message(Message::SetAudio{true}));
  EXPECT_EQ(host.next(), Message(Message::SetAudio{false}));
  std::lock_guard lock(audioLog_->mutex);
  EXPECT_EQ(audioLog_->opened, (std::vector<int>{2, 1}));
  EXPECT_EQ(audioLog_->stopped, 2);
}

TEST_F(ViewerSessionTest, FilesSkipFoldersAndTheSenderCancelsWithItsText) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  const auto file = dir_ / "not.txt";
  std::ofstream(file) << "merhaba";
  onMain([&] { session->sendFiles({dir_, dir_ / "yok.txt", file}); });
  const Message offer = host.next();
  EXPECT_EQ(offer, Message(Message::FileOffer{2, "not.txt", 7}));

  const State s = waitFor(session, [](const State& st) { return !st.transfers.empty(); });
  ASSERT_EQ(s.transfers.size(), 1u);
  EXPECT_EQ(s.transfers[0].direction, TransferProgress::Direction::sending);
  onMain([&] { session->cancelTransfer(s.transfers[0]); });
  EXPECT_EQ(host.next(), Message(Message::FileCancel{2, "Gönderen iptal etti"}));
  const State after = waitFor(session, [](const State& st) { return st.transfers.at(0).isFinished(); });
  EXPECT_EQ(after.transfers.size(), 1u) << "the entry is updated in place";
}

TEST_F(ViewerSessionTest, ConnectFailuresShowTheErrorText) {
  std::uint16_t closedPort;
  {
    Tcp::acceptor unused(network_.context(), Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    closedPort = unused.local_endpoint().port();
  }
  auto refused = start(direct(closedPort), "parola");
  EXPECT_TRUE(endedText(endedState(refused)).starts_with("Bağlanılamadı: "));

  ScriptedHost host(network_, cpu_);
  host.accept("doğru", HandshakeStatus::badPassword);
  auto wrong = start(direct(host.port()), "yanlış");
  EXPECT_EQ(endedText(endedState(wrong)), std::string(description(HandshakeStatus::badPassword)));
}

TEST_F(ViewerSessionTest, RelayTargetSaysItIsSearchingFirst) {
  std::uint16_t closedPort;
  {
    Tcp::acceptor unused(network_.context(), Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    closedPort = unused.local_endpoint().port();
  }
  if (std::getenv("PELLORA_RELAY_URL")) GTEST_SKIP() << "PELLORA_RELAY_URL overrides the setting";
  onMain([&] { settings_.setRelayURL("http://127.0.0.1:" + std::to_string(closedPort)); });
  auto session = start(ViewerTarget{ViewerTarget::Relay{"123456789"}}, "parola");
  const State s = endedState(session);
  EXPECT_TRUE(endedText(s).starts_with("Bağlanılamadı: ")) << endedText(s);
  const auto seen = phases();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[1], "connecting: Relay üzerinden aranıyor…");
}

TEST_F(ViewerSessionTest, StoreOpensAndClosesSessions) {
  ScriptedHost host(network_, cpu_);
  host.accept("parola");
  ViewerStore store(deps());
  const std::string id = onMain([&] { return store.open(direct(host.port()), "parola"); });
  auto session = onMain([&] { return store.session(id); });
  ASSERT_TRUE(session);
  EXPECT_EQ(session->id(), id);
  EXPECT_EQ(host.next(), Message(Message::ViewerHello{PeerOS::linux, {1, 2}}));

  onMain([&] {
    store.close(id);
    store.close("başka");
  });
  EXPECT_TRUE(onMain([&] { return store.state().sessions.empty(); }));
  EXPECT_EQ(endedText(onMain([&] { return session->state(); })), "Bağlantı kapatıldı");
  onMain([&] { session.reset(); });
}

}  // namespace
}  // namespace pellora
