// The host service on a real network thread: its listener on loopback, real handshakes from viewers,
// admission, sessions with their hooks, and the relay loop against an in-process relay server. The
// platform below it is fake (screen, input, clipboard, power, approval, announcement).

#include "host/host_service.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "core/relay_error.h"
#include "host/fake_input_event_sink.h"
#include "host/fake_screen_capturer.h"
#include "relay/relay_registry.h"
#include "relay/relay_server.h"
#include "support/fake_clipboard.h"
#include "support/fake_power_inhibitor.h"
#include "support/secret_store.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// Answers `answer`; with `hold` it waits until `release()` first. Used on the main strand only.
class FakeApproval : public ApprovalPrompt {
 public:
  asio::awaitable<bool> run(std::string, std::string system, std::string) override {
    systems.push_back(system);
    if (hold) {
      pending = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor, std::chrono::hours(1));
      auto timer = pending;
      co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
      pending.reset();  // timers must not outlive the network thread's context (a fixture member)
    }
    co_return answer;
  }
  void release() {
    if (pending) pending->cancel();
  }
  bool answer = true;
  bool hold = false;
  std::vector<std::string> systems;
  std::shared_ptr<asio::steady_timer> pending;
};

class FakeAdvertiser : public ServiceAdvertiser {
 public:
  void advertise(const std::string& n, std::uint16_t p) override {
    name = n;
    port = p;
  }
  std::string name;
  std::uint16_t port = 0;
};

// A relay server on its own thread.
struct InProcessRelay {
  explicit InProcessRelay(const std::filesystem::path& dir) {
    relay::RelayConfig config;
    config.listenPort = 0;
    config.database = dir / "relay.db";
    registry = std::make_unique<relay::LocalRelayRegistry>(config.database);
    server = std::make_unique<relay::RelayServer>(io, config, *registry);
    server->start();
    thread = std::thread([this] { io.run(); });
  }
  ~InProcessRelay() {
    asio::post(io, [this] { server->shutdown(); });
    io.stop();
    thread.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(server->localEndpoint().port()); }

  asio::io_context io;
  std::unique_ptr<relay::LocalRelayRegistry> registry;
  std::unique_ptr<relay::RelayServer> server;
  std::thread thread;
};

// What a viewer's handshake ended with.
struct Attempt {
  std::shared_ptr<SecureChannel> channel;
  std::optional<HandshakeStatus> refused;
};

class HostServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("PELLORA_RELAY_URL"); }

  // Runs `f` on the main strand and returns its result.
  template <typename F>
  auto onMain(F f) {
    std::packaged_task<std::invoke_result_t<F&>()> task(std::move(f));
    auto result = task.get_future();
    asio::post(network.mainStrand(), [&] { task(); });
    return result.get();
  }
  // Polls `done` on the main strand; false if it never held within a generous bound.
  template <typename F>
  bool eventually(F done) {
    return test::eventually([&] { return onMain(done); });
  }
  // A session's tear-down still uses the network thread: it ends before the thread does.
  void TearDown() override {
    if (!service) return;
    onMain([&] { service->stop(); });
    EXPECT_TRUE(eventually([&] { return !service->session(); }));
    onMain([&] { service.reset(); });
  }

  HostService::State state() {
    return onMain([&] { return service->state(); });
  }

  void make(std::uint16_t listenPort = 0) {
    HostService::Options options;
    options.listen = {asio::ip::make_address("127.0.0.1"), listenPort};
    options.computerName = "Masa";
    options.downloadDirectory = dir;
    options.now = [this] { return std::chrono::steady_clock::now() + std::chrono::seconds(clockOffset.load()); };
    options.makeAdvertiser = [this] {
      auto a = std::make_unique<FakeAdvertiser>();
      advertiser = a.get();
      return a;
    };
    options.relayTiming = {20ms, 80ms, 20ms, 25s};
    HostPlatform platform;
    platform.makeCapturer = [screen = screen] { return std::make_unique<test::FakeScreenCapturer>(screen); };
    platform.makeInputSink = [] { return std::make_unique<FakeInputEventSink>(); };
    service = HostService::make({network, cpu, settings, permanent, identities,
                                 ClipboardSync::make(network.mainStrand(), clipboard), power, approval, platform},
                                options);
  }
  void start(bool relay = false) {
    onMain([&] {
      settings.setRelayEnabled(relay);
      service->start();
    });
  }
  std::uint16_t port() {
    return onMain([&] { return service->listeningPort(); });
  }

  Attempt connect(const std::string& password, std::shared_ptr<Wire> wire = nullptr) {
    if (!wire) wire = Wire::tcp(network.executor(), "127.0.0.1", port(), false);
    auto handshake = SecureChannel::client(wire, password, "Ayşe", 60s, cpu);
    try {
      return {asio::co_spawn(network.context(), std::move(handshake), asio::use_future).get(), std::nullopt};
    } catch (const HandshakeError& e) {
      wire->cancel();
      if (e.kind() == HandshakeError::Kind::status) return {nullptr, e.handshakeStatus()};
      throw;
    }
  }
  HandshakeStatus status(const std::string& password) {
    Attempt a = connect(password);
    if (a.channel) a.channel->close(std::nullopt);
    return a.refused.value_or(HandshakeStatus::ok);
  }
  std::string password() { return state().password; }

  Message receive(const std::shared_ptr<SecureChannel>& channel) {
    return asio::co_spawn(network.context(), channel->receive(), asio::use_future).get();
  }
  template <typename Case>
  Case next(const std::shared_ptr<SecureChannel>& channel) {
    for (;;) {
      Message m = receive(channel);
      if (auto c = m.as<Case>()) return *c;
    }
  }
  // A viewer in a running session: hello sent, capture started.
  std::shared_ptr<SecureChannel> viewer() {
    Attempt a = connect(password());
    EXPECT_TRUE(a.channel);
    a.channel->send(Message::ViewerHello{PeerOS::linux, {2}});
    next<Message::DisplayList>(a.channel);
    return a.channel;
  }

  test::TempDir folder{"host-service"};
  std::filesystem::path dir = folder.path;
  SettingsFile settingsFile{dir / "settings.json"};
  FileSecretStore secrets{dir / "secrets.json"};
  PermanentPasswordStore permanent{secrets};
  RelayIdentityStore identities{secrets, settingsFile};
  AppSettings settings{settingsFile, permanent, dir / "autostart.desktop"};
  std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
  std::shared_ptr<FakePowerInhibitor> power = std::make_shared<FakePowerInhibitor>();
  std::shared_ptr<FakeApproval> approval = std::make_shared<FakeApproval>();
  std::shared_ptr<test::FakeScreen> screen = std::make_shared<test::FakeScreen>();
  FakeAdvertiser* advertiser = nullptr;
  std::atomic<int> clockOffset{0};
  CpuPool cpu{2};
  NetworkThread network;  // stopped before the pool: pool jobs end by posting here
  std::shared_ptr<HostService> service;
};

TEST_F(HostServiceTest, ListenerAnnouncesItselfAndStops) {
  make();
  EXPECT_EQ(state().password.size(), 8u);
  start();
  auto s = state();
  EXPECT_TRUE(s.isSharing);
  EXPECT_EQ(s.listenerStatus, "Yerel ağda açık (port " + std::to_string(port()) + ")");  // the port chosen for 0
  EXPECT_EQ(s.advertisedName, "Masa");
  EXPECT_EQ(advertiser->name, "Masa");
  EXPECT_EQ(advertiser->port, port());
  EXPECT_NE(port(), 0);

  advertiser->onName("Masa (2)");  // a name collision, reported from the advertiser's thread
  EXPECT_TRUE(eventually([&] { return service->state().advertisedName == "Masa (2)"; }));

  onMain([&] { service->stop(); });
  s = state();
  EXPECT_FALSE(s.isSharing);
  EXPECT_EQ(s.listenerStatus, "Kapalı");
  EXPECT_EQ(s.advertisedName, "");
}

TEST_F(HostServiceTest, APortInUseIsReported) {
  asio::io_context io;
  asio::ip::tcp::acceptor taken(io, {asio::ip::make_address("127.0.0.1"), 0});
  const auto busyPort = taken.local_endpoint().port();
  make(busyPort);
  start();
  const auto status = state().listenerStatus;
  EXPECT_EQ(status.rfind("Port " + std::to_string(busyPort) + " açılamadı: ", 0), 0u) << status;
  EXPECT_TRUE(state().isSharing);
}

TEST_F(HostServiceTest, TheListenerTriesAgainAfterAFailedAccept) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' runtime opens descriptors of its own to check memory; starved of them it reports
  // faults that are not there.
  GTEST_SKIP() << "needs a process that may run out of descriptors";
#endif
  make();
  onMain([&] { settings.setRequireApproval(false); });
  start();
  const std::string open = state().listenerStatus;
  // A caller waits in the backlog while this process may open no further descriptor: accept fails.
  asio::io_context io;
  asio::ip::tcp::socket waiting(io);
  waiting.connect({asio::ip::make_address("127.0.0.1"), port()});
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  std::string failing;
  const bool said = eventually([&] {
    failing = service->state().listenerStatus;
    return failing != open;
  });
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(said);
  EXPECT_EQ(failing.rfind("Yerel ağ dinleyicisi hatası: ", 0), 0u) << failing;
  EXPECT_NE(failing.find("(yeniden deneniyor)"), std::string::npos) << failing;

  // Descriptors again: the listener is open again without being switched off and on.
  EXPECT_TRUE(eventually([&] { return service->state().listenerStatus == open; }));
  EXPECT_EQ(status(password()), HandshakeStatus::ok);
}

TEST_F(HostServiceTest, FiveWrongPasswordsLockTheHostForAMinute) {
  make();
  onMain([&] { settings.setRequireApproval(false); });
  start();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(status("yanlis"), HandshakeStatus::badPassword);
    EXPECT_EQ(state().lastEvent.value_or("").rfind("Hatalı parola denemesi (Ayşe, 127.0.0.1:", 0), 0u);
  }
  EXPECT_EQ(status("yanlis"), HandshakeStatus::badPassword);
  const std::string locked = "Çok fazla hatalı parola denemesi; 60 sn kilitlendi";
  EXPECT_EQ(state().lastEvent, locked);

  // Locked: every caller hears so, and nothing is counted or reported.
  onMain([&] { service->setPassword("dogru"); });
  EXPECT_EQ(status("dogru"), HandshakeStatus::locked);
  EXPECT_EQ(status("yanlis"), HandshakeStatus::locked);
  EXPECT_EQ(state().lastEvent, locked);

  clockOffset = 61;
  EXPECT_EQ(status("yanlis"), HandshakeStatus::badPassword);  // a new count of one
  EXPECT_EQ(state().lastEvent.value_or("").rfind("Hatalı parola denemesi (", 0), 0u);
  EXPECT_EQ(status("dogru"), HandshakeStatus::ok);
}

TEST_F(HostServiceTest, OneCallerAtATimeAndTheApprovalDecides) {
  make();
  approval->hold = true;
  approval->answer = false;
  start();
  const std::string pw = password();

  // The first caller waits for the prompt; a second one is busy, a wrong password never reaches either.
  auto first = std::async(std::launch::async, [&] { return status(pw); });
  EXPECT_TRUE(eventually([&] { return approval->systems.size() == 1; }));
  EXPECT_EQ(status(pw), HandshakeStatus::busy);
  EXPECT_EQ(status("yanlis"), HandshakeStatus::badPassword);
  onMain([&] { approval->release(); });
  EXPECT_EQ(first.get(), HandshakeStatus::rejected);
  EXPECT_EQ(state().lastEvent, "Ayşe bağlantısı reddedildi");
  EXPECT_EQ(approval->systems, std::vector<std::string>{"Linux"});

  // The slot is free again; an allowed caller gets a session, and the next one is busy.
  approval->hold = false;
  approval->answer = true;
  Attempt admitted = connect(pw);
  ASSERT_TRUE(admitted.channel);
  EXPECT_TRUE(eventually([&] { return service->state().active.has_value(); }));
  auto s = state();
  EXPECT_EQ(s.active->peerName, "Ayşe");
  EXPECT_EQ(s.active->address.rfind("127.0.0.1:", 0), 0u);
  EXPECT_EQ(s.lastEvent, "Ayşe bağlandı");
  EXPECT_EQ(status(pw), HandshakeStatus::busy);
  admitted.channel->close(std::nullopt);
}

TEST_F(HostServiceTest, ThePermanentPasswordMaySkipTheApproval) {
  permanent.save("kalici-parola");
  make();
  onMain([&] {
    settings.refreshPermanentPassword();
    settings.setSkipApprovalForPermanent(true);
  });
  approval->answer = false;
  start();
  EXPECT_EQ(status(password()), HandshakeStatus::rejected);  // the session password still asks
  EXPECT_EQ(approval->systems.size(), 1u);
  Attempt a = connect("kalici-parola");
  EXPECT_TRUE(a.channel);
  EXPECT_EQ(approval->systems.size(), 1u);
  if (a.channel) a.channel->close(std::nullopt);
}

TEST_F(HostServiceTest, ASessionWithChatClipboardFilesAndStop) {
  make();
  onMain([&] { settings.setRequireApproval(false); });
  start();
  auto v = viewer();
  EXPECT_EQ(power->held(), 1);

  onMain([&] { service->sendChat("  \n "); });
  onMain([&] { service->sendChat("  selam \n"); });
  EXPECT_EQ(next<Message::ChatText>(v).text, "selam");  // the blank line was never sent
  v->send(Message::ChatText{"merhaba"});
  EXPECT_TRUE(eventually([&] { return service->state().chat.size() == 2; }));
  auto s = state();
  EXPECT_TRUE(s.chat[0].fromMe);
  EXPECT_EQ(s.chat[1].text, "merhaba");
  EXPECT_FALSE(s.chat[1].fromMe);
  EXPECT_NE(s.chat[0].id, s.chat[1].id);
  EXPECT_EQ(s.unreadChat, 1);
  onMain([&] { service->markChatRead(); });
  EXPECT_EQ(state().unreadChat, 0);

  v->send(Message::ClipboardText{"pano"});
  EXPECT_TRUE(eventually([&] { return clipboard->text() == "pano"; }));
  clipboard->copy("yerel");  // copied on this computer
  EXPECT_EQ(next<Message::ClipboardText>(v).text, "yerel");

  const auto file = dir / "rapor.txt";
  std::ofstream(file) << "rapor";
  onMain([&] { service->sendFiles({file}); });
  const auto offer = next<Message::FileOffer>(v);
  v->send(Message::FileReject{offer.id, "Hayır"});
  EXPECT_TRUE(eventually([&] {
    const auto& t = service->state().transfers;
    return t.size() == 1 && std::holds_alternative<TransferProgress::Failed>(t[0].state);
  }));

  onMain([&] { service->stop(); });
  EXPECT_EQ(next<Message::Bye>(v).reason, "Paylaşan bağlantıyı kesti");
  EXPECT_TRUE(eventually([&] { return !service->state().active; }));
  EXPECT_EQ(state().lastEvent.value_or("").rfind("Oturum bitti: ", 0), 0u);
  EXPECT_EQ(power->held(), 0);
}

TEST_F(HostServiceTest, HandshakesBeyondTheCapAreClosedAtOnce) {
  make();
  onMain([&] { settings.setRequireApproval(false); });
  start();
  asio::io_context io;
  std::vector<std::unique_ptr<asio::ip::tcp::socket>> idle;
  for (int i = 0; i < 5; ++i) {
    idle.push_back(std::make_unique<asio::ip::tcp::socket>(io));
    idle.back()->connect({asio::ip::make_address("127.0.0.1"), port()});
  }
  // The fifth caller is closed without a word (a bounded wait, so that a kept connection fails the test).
  timeval bound{20, 0};
  ::setsockopt(idle[4]->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  char byte;
  boost::system::error_code ec;
  idle[4]->read_some(asio::buffer(&byte, 1), ec);
  EXPECT_EQ(ec, asio::error::eof);

  // Once the silent callers leave, a real one gets through.
  idle.clear();
  Attempt a;
  for (int i = 0; i < 100 && !a.channel; ++i) {
    try {
      a = connect(password());
    } catch (...) {
      std::this_thread::sleep_for(20ms);  // the service has not yet seen the others leave
    }
  }
  EXPECT_TRUE(a.channel);
  if (a.channel) a.channel->close(std::nullopt);
}

TEST_F(HostServiceTest, RelayLoopRegistersReRegistersAfter401AndStopsWhenReplaced) {
  InProcessRelay relay(dir);
  const RelayIdentity stale{"123456789", "not-the-secret"};
  identities.save(stale);
  make();
  onMain([&] {
    settings.setRelayURL(relay.url());
    settings.setRequireApproval(false);
  });
  start(true);

  // The relay refuses the stored identity: it is dropped, and a fresh one is registered and used.
  EXPECT_TRUE(eventually([&] {
    return std::holds_alternative<HostService::RelayState::Online>(service->state().relayState.value);
  }));
  const RelayIdentity identity = std::get<HostService::RelayState::Online>(state().relayState.value).identity;
  EXPECT_NE(identity, stale);
  EXPECT_EQ(identities.load(), identity);

  // A viewer through the relay gets a session.
  RelayClient viewerSide(network.executor(), relay.url());
  auto joined = asio::co_spawn(network.context(), viewerSide.connect(identity.id), asio::use_future).get();
  Attempt a = connect(password(), joined);
  ASSERT_TRUE(a.channel);
  EXPECT_TRUE(eventually([&] { return service->state().active.has_value(); }));
  EXPECT_EQ(state().active->address, "internet (relay)");
  a.channel->close(std::nullopt);

  // Another host opens the same identity: ours gives up for good.
  std::vector<HostService::RelayState> seen;
  const int token = onMain(
      [&] { return service->published().subscribe([&](const HostService::State& st) { seen.push_back(st.relayState); }); });
  auto other = asio::co_spawn(network.context(), viewerSide.hostControl(identity), asio::use_future).get();
  const HostService::RelayState replaced{HostService::RelayState::Failed{"Bu kimlik başka bir Pellora'te açıldı"}};
  EXPECT_TRUE(eventually([&] { return service->state().relayState == replaced; }));
  std::this_thread::sleep_for(300ms);  // many retry periods
  onMain([&] {
    EXPECT_EQ(service->state().relayState, replaced);
    for (const auto& r : seen) EXPECT_FALSE(std::holds_alternative<HostService::RelayState::Connecting>(r.value));
    service->published().unsubscribe(token);
  });

  // A restart brings it back; stopping sharing turns it off.
  other->cancel();
  onMain([&] { service->restartRelay(); });
  EXPECT_TRUE(eventually([&] {
    return std::holds_alternative<HostService::RelayState::Online>(service->state().relayState.value);
  }));
  onMain([&] { service->stop(); });
  EXPECT_EQ(state().relayState, HostService::RelayState{});
}

}  // namespace
}  // namespace pellora
