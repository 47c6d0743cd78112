// The host service on a real network thread: its listener on loopback, real handshakes from viewers,
// admission, sessions with their hooks, and the relay loop against an in-process relay server. The
// platform below it is fake (screen, input, clipboard, power, approval, announcement).

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "host_service_fixture.h"
#include "support/deferred_file_writer.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test::Attempt;
using test::HostServiceTest;
using test::InProcessRelay;

// Closing and the port chosen for 0 are the process tests'; the announcement's rename is not.
TEST_F(HostServiceTest, ListenerAnnouncesItselfAndFollowsARename) {
  make();
  start();
  EXPECT_EQ(state().listenerStatus, "Yerel ağda açık (port " + std::to_string(port()) + ")");
  EXPECT_EQ(onMain([&] { return service->addresses(); }), std::vector<std::string>{"127.0.0.1:" + std::to_string(port())})
      << "bound to loopback, the listener is reachable there only";
  EXPECT_EQ(advertiser->port, port());
  advertiser->onName("Masa (2)");  // a name collision, reported from the advertiser's thread
  EXPECT_TRUE(eventually([&] { return service->state().advertisedName == "Masa (2)"; }));
  onMain([&] { service->stop(); });
  EXPECT_EQ(state().advertisedName, "");
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

// Limits how many descriptors this process may open, until destroyed. Other threads of the process open and
// close files now and then (settings saves, the stall reporter reading symbols); a number they free below the
// limit becomes free for the listener too.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t limit) {
    EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0);
    rlimit lower = saved_;
    lower.rlim_cur = limit;
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &lower), 0);
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

 private:
  rlimit saved_{};
};

TEST_F(HostServiceTest, TheListenerTriesAgainAfterAFailedAccept) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' runtime opens descriptors of its own to check memory; starved of them it reports
  // faults that are not there.
  GTEST_SKIP() << "needs a process that may run out of descriptors";
#endif
  tune = [](HostService::Options& o) { o.maxPendingPerAddress = 8; };  // the callers below never say hello
  make();
  onMain([&] { settings.setRequireApproval(false); });
  start();
  DeferredFileWriter::shared().flush(dir / "settings.json");  // start()'s saves need no descriptor later
  const std::string open = state().listenerStatus;
  // Whether the listener reports a failed accept within `bound`.
  const auto failedWith = [&](std::chrono::milliseconds bound) {
    std::string status;
    const auto changed = [&] { return (status = service->state().listenerStatus) != open; };
    if (!test::eventually([&] { return onMain(changed); }, bound)) return false;
    EXPECT_EQ(status.rfind("Yerel ağ dinleyicisi hatası: ", 0), 0u) << status;
    EXPECT_NE(status.find("(yeniden deneniyor)"), std::string::npos) << status;
    return true;
  };
  const auto openAgain = [&] { return eventually([&] { return service->state().listenerStatus == open; }); };
  // Callers' sockets are opened before a limit holds and connect only once it does, so that the listener
  // cannot take them before.
  asio::io_context io;
  std::vector<asio::ip::tcp::socket> callers;
  for (int i = 0; i < 4; ++i) callers.emplace_back(io).open(asio::ip::tcp::v4());
  const asio::ip::tcp::endpoint listener{asio::ip::make_address("127.0.0.1"), port()};

  // One descriptor left: the first caller takes it, and the accept after it fails with nobody waiting. Once
  // descriptors are back the listener shows itself open again, without a caller to accept. (Should another
  // thread free a number below the limit meanwhile, that caller is accepted without a failure: the next one
  // goes in, and the failure then leaves a caller waiting, which the second part covers.)
  {
    const int last = ::dup(0);  // the lowest free number
    ASSERT_GE(last, 0);
    DescriptorLimit limit(static_cast<rlim_t>(last) + 1);
    ::close(last);
    bool said = false;
    for (std::size_t i = 0; i + 1 < callers.size() && !said; ++i) {
      callers[i].connect(listener);
      said = failedWith(std::chrono::seconds(i + 2 < callers.size() ? 3 : 30));
    }
    ASSERT_TRUE(said);
  }
  EXPECT_TRUE(openAgain());

  // None left: a caller waits in the backlog while accepting fails, and is taken once descriptors are back.
  {
    DescriptorLimit limit(0);
    callers.back().connect(listener);
    ASSERT_TRUE(failedWith(std::chrono::seconds(30)));
  }
  EXPECT_TRUE(openAgain());
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

  // The first caller waits for the prompt; a second one is busy, whatever its password.
  auto first = std::async(std::launch::async, [&] { return status(pw); });
  EXPECT_TRUE(eventually([&] { return approval->systems.size() == 1; }));
  EXPECT_EQ(status(pw), HandshakeStatus::busy);
  onMain([&] { approval->release(); });
  EXPECT_EQ(first.get(), HandshakeStatus::rejected);
  EXPECT_EQ(state().lastEvent, "Ayşe bağlantısı reddedildi");
  EXPECT_EQ(approval->systems, std::vector<std::string>{"Linux"});

  // The slot is free again: an allowed caller gets a session (busy behind it is the hostile admission's).
  approval->hold = false;
  approval->answer = true;
  Attempt admitted = connect(pw);
  ASSERT_TRUE(admitted.channel);
  EXPECT_TRUE(eventually([&] { return service->state().lastEvent == "Ayşe bağlandı"; }));
  admitted.channel->close(std::nullopt);
}

// The secret store answers slowly here, as a keyring does when it starts: the network thread never waits
// for it (the stall detector fails a test whose network-thread handler runs long).
TEST_F(HostServiceTest, ThePermanentPasswordMaySkipTheApproval) {
  secrets.delay = 150ms;
  make();
  asio::co_spawn(network.mainStrand(), settings.setPermanentPassword("kalici-parola"), asio::use_future).get();
  onMain([&] { settings.setSkipApprovalForPermanent(true); });
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
  EXPECT_TRUE(eventually([&] { return power->held() == 1; }));

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
  EXPECT_TRUE(eventually([&] { return power->held() == 0; }));
}

TEST_F(HostServiceTest, RelayLoopRegistersReRegistersAfter401AndStopsWhenReplaced) {
  InProcessRelay relay(dir);
  const RelayIdentity stale{"123456789", "not-the-secret"};
  identities.save(stale);
  secrets.delay = 150ms;  // a keyring that is slow to answer
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

  RelayClient viewerSide(network.executor(), relay.url());
  // Another host opens the same identity: ours gives up for good.
  std::vector<HostService::RelayState> seen;
  const int token = onMain(
      [&] { return service->published().subscribe([&](const HostService::State& st) { seen.push_back(st.relayState); }); });
  auto other = asio::co_spawn(network.context(), viewerSide.hostControl(identity), asio::use_future).get();
  const HostService::RelayState replaced{HostService::RelayState::Failed{"Bu kimlik başka bir Pellora'te açıldı"}};
  EXPECT_TRUE(eventually([&] { return service->state().relayState == replaced; }));
  // A retry is a timer firing (20 ms apart here) and its absence leaves no mark: a grace of many retry
  // periods is the only witness.
  std::this_thread::sleep_for(300ms);
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
