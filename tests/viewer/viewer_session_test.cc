// What a viewer connects to (typed targets and the hosts found on the network), and a viewer session
// against a scripted host: the host's side of the handshake over loopback, then messages sent and read by
// the test as a host would.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <fstream>
#include <future>
#include <thread>

#include "support/eventually.h"
#include "support/fake_clipboard.h"
#include "support/scoped_env.h"
#include "support/on_strand.h"
#include "support/scripted_peer.h"
#include "support/settings_stack.h"
#include "viewer/discovery.h"
#include "viewer/fake_audio_output.h"
#include "viewer/fake_service_browser.h"
#include "viewer/viewer_session.h"
#include "viewer/viewer_target.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Tcp = asio::ip::tcp;
using State = ViewerSession::State;
using M = Message;

constexpr auto bound = test::peerBound;  // only so that a broken test fails instead of hanging
using test::awaitFuture;

std::string text(const ViewerSession::Phase& phase) {
  if (const auto* c = std::get_if<ViewerSession::Connecting>(&phase)) return c->text;
  if (const auto* e = std::get_if<ViewerSession::Ended>(&phase)) return "ended: " + e->text;
  return "connected";
}

// The host's end: accepts one viewer on loopback and answers its handshake; the test then plays the host
// over that channel.
class ScriptedHost {
 public:
  ScriptedHost(NetworkThread& network, CpuPool& cpu, SecureChannel::ServerOptions versions = {})
      : network_(network), acceptor_(network.context(), Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    auto serve = [this, &cpu, versions]() -> asio::awaitable<std::shared_ptr<SecureChannel>> {
      auto wire = Wire::accepted(co_await acceptor_.async_accept(asio::use_awaitable));
      SecureChannel::SessionAdmit admit = [](const Hello&, bool) -> asio::awaitable<HandshakeStatus> {
        co_return HandshakeStatus::ok;
      };
      const std::string password = "parola", name = "Paylaşan";
      co_return co_await SecureChannel::server(wire, password, name, bound, admit, cpu, versions);
    };
    handshake_ = asio::co_spawn(network.executor(), std::move(serve), asio::use_future);
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  SecureChannel& channel() { return peer().channel(); }
  void send(const Message& message) { peer().send(message); }
  // The viewer's next message, key-frame requests (the renderer's business) left out.
  Message next() {
    for (;;) {
      if (Message m = peer().next(); !m.is<M::RequestKeyframe>()) return m;
    }
  }
  // Returns once the viewer handled everything sent before.
  void sync() { peer().sync(); }

 private:
  test::ScriptedPeer& peer() {
    if (!peer_) peer_.emplace(network_, awaitFuture(std::move(handshake_)));
    return *peer_;
  }

  NetworkThread& network_;
  Tcp::acceptor acceptor_;
  std::future<std::shared_ptr<SecureChannel>> handshake_;
  std::optional<test::ScriptedPeer> peer_;
};

class ViewerSessionTest : public ::testing::Test, public test::SettingsStack {
 protected:
  ~ViewerSessionTest() override {
    onMain([&] {
      for (auto& s : sessions_) s->disconnect();
      sessions_.clear();
    });
    network_.stop();
    cpu_.stop();
  }

  // Runs `job` on the main strand, where sessions live, and returns its result.
  template <typename Job>
  auto onMain(Job job) -> std::invoke_result_t<Job&> {
    return test::onStrand(network_.mainStrand(), std::move(job));
  }
  State state(const std::shared_ptr<ViewerSession>& s) {
    return onMain([&] { return s->state(); });
  }
  State waitFor(const std::shared_ptr<ViewerSession>& s, const std::function<bool(const State&)>& ready) {
    State now;
    EXPECT_TRUE(test::eventually([&] { return ready(now = state(s)); }, bound)) << "stuck at " << text(now.phase);
    return now;
  }
  std::string endText(const std::shared_ptr<ViewerSession>& s) {
    return text(waitFor(s, [](const State& st) { return std::holds_alternative<ViewerSession::Ended>(st.phase); }).phase);
  }

  ViewerSession::Dependencies deps() {
    ViewerPlatform platform{[] { return std::make_unique<FakeAudioOutput>(); }, clipboard_};
    ViewerSession::Dependencies d{network_, cpu_, settings, platform, "Görüntüleyen", dir / "downloads"};
    d.statisticsInterval = 24h;  // no pings among the messages the tests read
    return d;
  }
  std::shared_ptr<ViewerSession> start(ViewerTarget target) {
    return onMain([&] {
      auto s = sessions_.emplace_back(ViewerSession::make(deps(), std::move(target)));
      phases_.push_back(text(s->state().phase));
      s->published().subscribe([this](const State& st) {
        if (phases_.back() != text(st.phase)) phases_.push_back(text(st.phase));
      });
      s->connect("parola");
      return s;
    });
  }
  static ViewerTarget direct(std::uint16_t port) { return {ViewerTarget::Direct{"127.0.0.1", port}}; }

  // A session connected to `host`, whose announcement was read and checked.
  std::shared_ptr<ViewerSession> connected(ScriptedHost& host) {
    auto session = start(direct(host.port()));
    EXPECT_EQ(host.next(), Message(M::ViewerHello{PeerOS::linux, {1, 2}}));
    EXPECT_EQ(host.next(), Message(M::FeaturesMsg{Features{Features::all}}));
    EXPECT_EQ(host.next(), Message(M::SetQuality{1}));
    waitFor(session, [](const State& s) { return s.phase == ViewerSession::Phase(ViewerSession::Connected{}); });
    return session;
  }

  std::shared_ptr<FakeClipboard> clipboard_ = std::make_shared<FakeClipboard>();
  CpuPool cpu_{2};
  NetworkThread network_;
  std::vector<std::shared_ptr<ViewerSession>> sessions_;  // main strand
  std::vector<std::string> phases_;                       // main strand
};

TEST_F(ViewerSessionTest, ConnectsAnnouncesItselfAndFollowsTheHost) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  EXPECT_EQ(onMain([&] { return phases_; }),
            (std::vector<std::string>{"Bağlanılıyor…", "Kimlik doğrulanıyor… (karşı tarafın onayı bekleniyor olabilir)",
                                      "connected"}));
  EXPECT_EQ(state(session).remoteName, "Paylaşan");

  clipboard_->copy("kopya");  // the watcher's next poll sends it
  EXPECT_EQ(host.next(), Message(M::ClipboardText{"kopya"}));

  host.send(M::HostInfo{PeerOS::macOS, 2, "Stüdyo"});
  host.send(M::ClipboardText{"panodan"});
  host.sync();
  State s = state(session);
  EXPECT_EQ(std::tie(s.remoteOS, s.remoteName, s.codec), std::tuple(PeerOS::macOS, "Stüdyo", Codec::jpegRegions));
  ClipboardSync::waitUntilIdle();
  EXPECT_EQ(clipboard_->text(), "panodan");

  host.send(M::HostInfo{PeerOS::macOS, 9, "Stüdyo"});  // a codec we do not know is none
  onMain([&] { settings.setSyncClipboard(false); });
  host.send(M::ClipboardText{"gizli"});  // ignored while syncing is off
  host.sync();
  EXPECT_EQ(state(session).codec, std::nullopt);
  ClipboardSync::waitUntilIdle();
  EXPECT_EQ(clipboard_->text(), "panodan");
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
    EXPECT_EQ(up, Message(M::Key{down.as<M::Key>()->hid, false})) << "released as pressed";
    return down.as<M::Key>()->hid;
  };
  EXPECT_EQ(press(224), 224) << "a Linux host";
  host.send(M::HostInfo{PeerOS::macOS, 1, "Mac"});
  host.sync();
  EXPECT_EQ((std::vector<int>{press(224), press(227), press(228), press(231), press(4)}),
            (std::vector<int>{227, 224, 231, 228, 4}));
  onMain([&] { settings.setSwapCommandControl(false); });
  EXPECT_EQ(press(224), 224) << "the setting is off";
  onMain([&] { settings.setSwapCommandControl(true); });
  host.send(M::HostInfo{PeerOS::windows, 1, "PC"});
  host.sync();
  EXPECT_EQ(press(224), 224) << "a Windows host";
}

// The goodbye's text at the host and the viewer's own end text are the process tests'.
TEST_F(ViewerSessionTest, DisconnectReleasesKeysBeforeItSaysGoodbye) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  onMain([&] {
    session->key(4, true);
    session->disconnect();
    session->key(5, true);  // after the end: goes nowhere
  });
  EXPECT_EQ(host.next(), Message(M::Key{4, true}));
  EXPECT_EQ(host.next(), Message(M::Key{4, false}));
  EXPECT_TRUE(host.next().is<M::Bye>());
  EXPECT_THROW(host.next(), TransportError);
}

TEST_F(ViewerSessionTest, GoodbyeTextOutlivesTheDropAndADisconnect) {
  ScriptedHost quiet(network_, cpu_), dropping(network_, cpu_);
  auto session = connected(quiet), dropped = connected(dropping);
  // An offer left unanswered is abandoned when the receive loop ends, after the drop reached the session.
  std::ofstream(dir / "a.txt") << "a";
  onMain([&] { session->sendFiles({dir, dir / "a.txt"}); });  // the folder is skipped
  EXPECT_EQ(quiet.next(), Message(M::FileOffer{2, "a.txt", 1}));

  quiet.channel().close("");  // bye with an empty reason, then the connection drops
  const State s = waitFor(session, [](const State& st) { return !st.transfers.empty() && st.transfers[0].isFinished(); });
  EXPECT_EQ(std::get<TransferProgress::Failed>(s.transfers.at(0).state).text, "Bağlantı kapandı");
  EXPECT_EQ(text(s.phase), "ended: Karşı taraf bağlantıyı kapattı");
  onMain([&] { session->disconnect(); });
  EXPECT_EQ(endText(session), "ended: Karşı taraf bağlantıyı kapattı");

  dropping.channel().close(std::nullopt);  // no goodbye: the transport's text
  EXPECT_EQ(endText(dropped), "ended: Bağlantı kapandı");
}

TEST_F(ViewerSessionTest, ChatIsTrimmedAndCutToWhatAHostAccepts) {
  ScriptedHost host(network_, cpu_);
  auto session = connected(host);
  std::string longLine = "x";
  while (longLine.size() < 5000) longLine += "ğ";  // two bytes each
  onMain([&] {
    session->sendChat(" \t\n\xC2\xA0");                  // with a no-break space: nothing
    session->sendChat("\xE3\x80\x80 kedi \xE2\x80\xA8");  // ideographic space, line separator
    session->sendChat(longLine);  // sent whole it would end the session on the host
  });
  EXPECT_EQ(host.next(), Message(M::ChatText{"kedi"}));
  EXPECT_EQ(host.next(), Message(M::ChatText{longLine.substr(0, 4095)})) << "cut before a character";
  const State s = state(session);
  ASSERT_EQ(s.chat.size(), 2u);
  EXPECT_EQ(std::tie(s.chat[0].fromMe, s.chat[0].text), std::tuple(true, "kedi"));
}

// A version 2 session pins its target (the process test through the relay reads the pin in the user's settings).
TEST_F(ViewerSessionTest, AVersion1SessionPinsNothingAndAPinnedTargetRefusesADowngrade) {
  SecureChannel::ServerOptions version1Only;
  version1Only.acceptVersion2 = false;
  ScriptedHost old(network_, cpu_, version1Only);
  auto unpinned = connected(old);
  EXPECT_EQ(state(unpinned).handshakeVersion, 1);
  EXPECT_FALSE(onMain([&] { return settings.isPinnedToHandshakeV2(direct(old.port()).pinKey()); }));

  ScriptedHost impostor(network_, cpu_, version1Only);
  onMain([&] { settings.pinHandshakeV2(direct(impostor.port()).pinKey()); });
  EXPECT_EQ(endText(start(direct(impostor.port()))),
            "ended: Karşı taraf eski el sıkışma sürümüyle yanıt verdi; bu hedef sürüm 2'ye sabitlendi");
}

TEST_F(ViewerSessionTest, ConnectFailuresShowTheErrorText) {
  test::ScopedEnv noRelayOverride("PELLORA_RELAY_URL", nullptr);  // it would override the setting
  // Bound but not listening: connections are refused, and no test running beside this one can take the port.
  Tcp::socket refusing(network_.context());
  refusing.open(Tcp::v4());
  refusing.bind(Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::uint16_t closedPort = refusing.local_endpoint().port();
  EXPECT_TRUE(endText(start(direct(closedPort))).starts_with("ended: Bağlanılamadı: "));

  onMain([&] {
    phases_.clear();
    settings.setRelayURL("http://127.0.0.1:" + std::to_string(closedPort));
  });
  EXPECT_TRUE(endText(start(ViewerTarget{ViewerTarget::Relay{"123456789"}})).starts_with("ended: Bağlanılamadı: "));
  EXPECT_EQ(onMain([&] { return phases_.at(1); }), "Relay üzerinden aranıyor…");
}

ViewerTarget direct(std::string host, std::uint16_t port = ViewerTarget::defaultPort) {
  return {ViewerTarget::Direct{std::move(host), port}};
}
ViewerTarget relay(std::string id) { return {ViewerTarget::Relay{std::move(id)}}; }

TEST(ViewerTarget, ParsesTypedText) {
  const std::vector<std::pair<std::string, std::optional<ViewerTarget>>> cases = {
      // Relay identities: nine digits, white space anywhere inside.
      {"123 456 789", relay("123456789")},
      {" \t123\n456 789 ", relay("123456789")},
      {"12345678", direct("12345678")},
      {"1234567890", direct("1234567890")},
      // Host and port: the last colon splits off a port that reads as 0...65535.
      {"10.0.0.5:5900", direct("10.0.0.5", 5900)},
      {"10.0.0.5:0", direct("10.0.0.5", 0)},
      {"10.0.0.5:65535", direct("10.0.0.5", 65535)},
      {"10.0.0.5:", direct("10.0.0.5:")},
      {"10.0.0.5:65536", direct("10.0.0.5:65536")},
      {"10.0.0.5:+80", direct("10.0.0.5:+80")},
      {"host:port", direct("host:port")},
      {"fe80::1:8080", direct("fe80::1", 8080)},
      {"::1", direct(":", 1)},
      {":80", direct("", 80)},
      // Blanks: spaces and tabs at the ends go; an inner space means no target.
      {"  mac-mini.local\t", direct("mac-mini.local")},
      {"two words", std::nullopt},
      {"host :80", std::nullopt},
      {"", std::nullopt},
      {"host\n", direct("host\n")},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ViewerTarget::parse(text), expected) << '"' << text << '"';
}

TEST(ViewerTarget, PinKeysNameWhereTheConnectionGoes) {
  // A typed address and the same host found on the network share a pin; case does not matter.
  EXPECT_EQ(direct("Masa.local", 7171).pinKey(), direct("masa.local").pinKey());
  EXPECT_EQ(direct("10.0.0.5").pinKey(),
            (ViewerTarget{ViewerTarget::Bonjour{"Masa", ServiceEndpoint{"Masa", "10.0.0.5", 7171}}}).pinKey());
  EXPECT_NE(direct("10.0.0.5", 7172).pinKey(), direct("10.0.0.5").pinKey());
  EXPECT_NE(relay("123456789").pinKey(), direct("123456789").pinKey());
}

struct DiscoveryUnderTest {
  boost::asio::io_context io;
  FakeServiceBrowser* browser = new FakeServiceBrowser;
  std::shared_ptr<Discovery> discovery =
      Discovery::make(boost::asio::make_strand(io), std::unique_ptr<ServiceBrowser>(browser));

  // Delivers `all` as the browser would and lets the main strand catch up.
  void report(const std::vector<ServiceEndpoint>& all) {
    browser->report(all);
    io.restart();
    io.run();
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& h : discovery->state().hosts) out.push_back(h.name);
    return out;
  }
};

ServiceEndpoint at(std::string name, std::string address = "10.0.0.5", std::uint16_t port = 7171) {
  return {std::move(name), std::move(address), port};
}

TEST(Discovery, ListsEveryResultButOurOwnSortedByBytes) {
  DiscoveryUnderTest t;
  t.discovery->start("Office");
  t.discovery->start("Zeta");  // started already: the first name stays the one left out
  EXPECT_EQ(t.browser->startCalls, 1);
  // Only the exact excluded name is skipped; equal names stay separate; "Çalışma" (UTF-8 0xC3...) sorts
  // after every ASCII name, "atelier" after "Zeta", as plain bytes do.
  t.browser->report({at("Zeta"), at("office"), at("Office"), at("Çalışma"), at("Office "), at("atelier"),
                     at("Attic", "10.0.0.7"), at("Attic", "10.0.0.8", 7000)});
  EXPECT_TRUE(t.discovery->state().hosts.empty()) << "results reach the list on the main strand only";
  t.io.run();
  EXPECT_EQ(t.names(),
            (std::vector<std::string>{"Attic", "Attic", "Office ", "Zeta", "atelier", "office", "Çalışma"}));
  EXPECT_EQ(t.discovery->state().hosts[1], at("Attic", "10.0.0.8", 7000)) << "endpoints kept as reported";
  // Each report is the browser's whole set: what it no longer lists goes.
  t.report({at("Zeta", "10.0.0.9"), at("Office")});
  EXPECT_EQ(t.discovery->state().hosts, std::vector<ServiceEndpoint>{at("Zeta", "10.0.0.9")});
  // The mDNS daemon renamed our service: the name we are now announced under is the one left out.
  t.discovery->exclude("Zeta");
  EXPECT_EQ(t.discovery->state().hosts, std::vector<ServiceEndpoint>{at("Office")});
}

TEST(Discovery, TheBrowserHandlerDoesNotKeepItAlive) {
  DiscoveryUnderTest t;
  t.discovery->start("");
  std::weak_ptr<Discovery> watch = t.discovery;
  auto deliver = t.browser->onResults;  // as a browser thread might still hold it
  deliver({at("Late")});                // queued on the strand while the Discovery is alive...
  t.discovery.reset();                  // ...which is released before the strand runs
  EXPECT_TRUE(watch.expired());
  deliver({at("Later")});
  t.io.run();
}

}  // namespace
}  // namespace pellora
