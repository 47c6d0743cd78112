// Both handshake procedures over loopback, against each other and against scripted peers.

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/ecdh_key.h"
#include "core/secure_channel.h"
#include "core/session_keys.h"
#include "core/spake2_hello.h"
#include "support/loopback.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using asio::awaitable;
using Match = SecureChannel::PasswordMatch;
using Channel = std::shared_ptr<SecureChannel>;
using namespace std::chrono_literals;

constexpr auto longTimeout = std::chrono::seconds(60);

struct AdmitLog {
  int calls = 0;
  Match match = Match::none;
};

// Admits with `status` after recording what it was shown.
SecureChannel::Admit admitWith(HandshakeStatus status, AdmitLog& log) {
  return [status, &log](const Hello&, Match match) -> awaitable<HandshakeStatus> {
    ++log.calls;
    log.match = match;
    co_return status;
  };
}

// The loopback connection and the pool every handshake here runs on.
class OverLoopback : public ::testing::Test {
 protected:
  test::Loopback net;
  CpuPool cpu{2};
  AdmitLog log;
};

class Handshake : public OverLoopback {
 protected:
  void run(std::string clientPassword, std::string sessionPassword, std::optional<std::string> permanent,
           SecureChannel::Admit admit, SecureChannel::Duration serverTimeout = longTimeout) {
    std::tie(clientWire, acceptedWire) = net.pair();
    client = net.spawn(SecureChannel::client(clientWire, std::move(clientPassword), "Görüntüleyen", longTimeout, cpu,
                                             clientOptions));
    server = net.spawn(SecureChannel::server(acceptedWire, std::move(sessionPassword), std::move(permanent), "Paylaşan",
                                             serverTimeout, std::move(admit), cpu, serverOptions));
    net.runUntil([&] { return client->done && server->done; });
  }
  test::Outcome<Message> receive(SecureChannel& channel) { return net.run(channel.receive()); }

  SecureChannel::ClientOptions clientOptions;
  SecureChannel::ServerOptions serverOptions;
  std::shared_ptr<Wire> clientWire, acceptedWire;
  std::shared_ptr<test::Outcome<Channel>> client, server;
};

// The password rules hold in both versions.
class BothVersions : public Handshake, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    clientOptions.offerVersion2 = GetParam() == 2;
    serverOptions.acceptVersion2 = GetParam() == 2;
  }
};

INSTANTIATE_TEST_SUITE_P(Version, BothVersions, ::testing::Values(1, 2));

TEST_P(BothVersions, WrongPasswordIsRefusedAndTheServerHangsUp) {
  run("yanlış", "doğru", std::nullopt, admitWith(HandshakeStatus::badPassword, log));
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.match, Match::none);
  EXPECT_EQ(client->errorText(), "Parola yanlış");
  EXPECT_EQ(server->errorText(), "Parola yanlış");
  try {
    std::rethrow_exception(client->error);
  } catch (const HandshakeError& e) {
    EXPECT_EQ(e, HandshakeError::status(HandshakeStatus::badPassword));
  }
  // The single status frame was all; the server then closes the connection by itself.
  EXPECT_EQ(net.run(clientWire->readFrame()).errorText(), "Bağlantı kapandı");
  EXPECT_TRUE(acceptedWire->isCancelled());
}

TEST_P(BothVersions, EachPasswordMatchesAndItsKeysAreUsed) {
  for (const auto& [typed, expected] : {std::pair("oturum", Match::session), std::pair("kalıcı", Match::permanent)}) {
    run(typed, "oturum", "kalıcı", admitWith(HandshakeStatus::ok, log));
    ASSERT_TRUE(client->value) << client->errorText();
    EXPECT_EQ(log.match, expected) << typed;
    EXPECT_EQ((*client->value)->handshakeVersion(), GetParam());
    EXPECT_EQ((*server->value)->handshakeVersion(), GetParam());
    EXPECT_EQ((*client->value)->peer().name, "Paylaşan");
    EXPECT_EQ((*server->value)->peer().name, "Görüntüleyen");
    (*client->value)->send(Message::Ping{5});
    EXPECT_EQ(*receive(**server->value).value, Message(Message::Ping{5}));
    (*server->value)->send(Message::Pong{6});
    EXPECT_EQ(*receive(**client->value).value, Message(Message::Pong{6}));
  }

  // A proof valid under both passwords counts as the session password's.
  run("ikisi", "ikisi", "ikisi", admitWith(HandshakeStatus::ok, log));
  EXPECT_EQ(log.match, Match::session);
}

TEST_F(Handshake, HostRequiringVersion2RefusesVersion1Callers) {
  serverOptions.refuseVersion1 = true;
  clientOptions.offerVersion2 = false;
  run("p", "p", std::nullopt, admitWith(HandshakeStatus::ok, log));
  EXPECT_EQ(client->errorText(), "Karşı taraf bağlantıyı reddetti");
  EXPECT_EQ(server->errorText(), "Karşı taraf bağlantıyı reddetti");
  EXPECT_EQ(log.calls, 0) << "a refused version does not count as a password attempt";

  clientOptions.offerVersion2 = true;
  run("p", "p", std::nullopt, admitWith(HandshakeStatus::ok, log));
  ASSERT_TRUE(client->value) << client->errorText();
  EXPECT_EQ((*client->value)->handshakeVersion(), 2);
}

// An approval that is still pending when the timer fires: the wire is cancelled under it. (An approval that
// answers in time is the host service's test.)
TEST_F(Handshake, AdmitMaySuspendButTheTimerStillBoundsIt) {
  int calls = 0;
  SecureChannel::Admit pending = [&](const Hello&, Match) -> awaitable<HandshakeStatus> {
    ++calls;
    asio::steady_timer t(co_await asio::this_coro::executor);
    for (int i = 0; i < 6000 && !acceptedWire->isCancelled(); ++i) {
      t.expires_after(10ms);
      co_await t.async_wait(asio::use_awaitable);
    }
    co_return HandshakeStatus::ok;
  };
  run("p", "p", std::nullopt, pending, 3s);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(server->errorText(), "Bağlantı kapandı");
  EXPECT_EQ(client->errorText(), "Bağlantı kapandı");
}

// A server played by the test: reads the client's hello, answers with `hello`, then (unless `reply` is
// none) reads one more frame and sends `reply`.
class ScriptedServer : public OverLoopback {
 protected:
  static Hello serverHello(std::uint32_t iterations) {
    return Hello{PeerOS::macOS, EcdhKey::generate().publicKey(), Bytes(32, 7), Bytes(16, 9), iterations, "Sahte"};
  }
  // What the client sent (its hello and the frame after the server's; empty when it sent none) and its error.
  struct Exchange {
    Bytes clientHello, answer;
    std::string error;
  };
  Exchange exchange(Bytes hello, std::optional<Bytes> reply, SecureChannel::ClientOptions options = {},
                    std::string password = "p") {
    auto [wire, accepted] = net.pair();
    auto client = net.spawn(SecureChannel::client(wire, std::move(password), "g", longTimeout, cpu, options));
    auto script = net.spawn(script_(accepted, std::move(hello), std::move(reply)));
    net.runUntil([&] { return client->done; });
    wire->cancel();
    net.runUntil([&] { return script->done; });
    Exchange out = script->value.value_or(Exchange{});
    out.error = client->errorText();
    return out;
  }
  static awaitable<Exchange> script_(std::shared_ptr<Wire> w, Bytes hello, std::optional<Bytes> reply) {
    Exchange out;
    out.clientHello = co_await w->readFrame();
    co_await w->writeFrame(hello);
    if (!reply) {
      co_await w->readFrame();  // until the client gives up
      co_return out;
    }
    out.answer = co_await w->readFrame();
    co_await w->writeFrame(*reply);
    co_return out;
  }
};

// Hellos and status frames a hostile or broken server may send: what the client says, and how much it
// answered (an iteration count out of range or a key off the curve gets nothing).
TEST_F(ScriptedServer, BadHellosAndStatusFramesEndTheHandshake) {
  Bytes offCurve(65, 0x01);
  offCurve[0] = 0x04;
  Hello keyOffCurve = serverHello(50'000);
  keyOffCurve.publicKey = offCurve;
  const Spake2Hello fewIterations{PeerOS::linux, Bytes(16, 9), 49'999, {EcdhKey::generate().publicKey()}, "Sahte"};
  const Spake2Hello shareOffCurve{PeerOS::linux, Bytes(16, 9), 50'000, {offCurve}, "Sahte"};
  Bytes forged(40, 0x55);
  forged[0] = 0;
  // A host that knows the password but forges its version 2 confirmation.
  Spake2Hello knowing{PeerOS::linux, Bytes(16, 9), 50'000, {}, "Sahte"};
  knowing.shares = {Spake2(Spake2::Role::b, Spake2::passwordScalar("p", knowing.salt, knowing.iterations)).share()};
  const std::size_t finish = Spake2::shareSize + Spake2::confirmationSize;
  const std::string badCount = "Geçersiz anahtar türetme parametresi (";
  const struct {
    const char* what;
    Bytes hello;
    std::optional<Bytes> reply;
    std::string error;
    bool libraryText;  // the crypto library's words: contained, not equal
    std::size_t answered;
  } cases[] = {
      {"too few iterations", serverHello(49'999).encode(), std::nullopt, badCount + "49999)", false, 0},
      {"too many iterations", serverHello(1'000'001).encode(), std::nullopt, badCount + "1000001)", false, 0},
      {"version 2, too few iterations", fewIterations.encode(), std::nullopt, badCount + "49999)", false, 0},
      {"the lowest count; status 7 reads as rejected", serverHello(50'000).encode(), Bytes{7},
       "Karşı taraf bağlantıyı reddetti", false, 32},
      {"the highest count; ok with a forged proof and trailing bytes", serverHello(1'000'000).encode(), forged,
       "Karşı tarafın kimliği doğrulanamadı", false, 32},
      {"version 2, a forged confirmation", knowing.encode(), Bytes(forged.begin(), forged.begin() + 33),
       "Karşı tarafın kimliği doğrulanamadı", false, finish},
      {"a short status frame", serverHello(50'000).encode(), Bytes{0, 1, 2, 3}, "Eksik veri", false, 32},
      {"an empty status frame", serverHello(50'000).encode(), Bytes{}, "Eksik veri", false, 32},
      {"a server key off the curve", keyOffCurve.encode(), std::nullopt, "point is not on curve", true, 0},
      {"a version 2 share off the curve", shareOffCurve.encode(), std::nullopt, "point is not on curve", true, 0},
  };
  for (const auto& c : cases) {
    const Exchange x = exchange(c.hello, c.reply);
    if (c.libraryText) {
      EXPECT_NE(x.error.find(c.error), std::string::npos) << c.what << ": " << x.error;
    } else {
      EXPECT_EQ(x.error, c.error) << c.what;
    }
    EXPECT_EQ(x.answer.size(), c.answered) << c.what;
  }
}

TEST_F(ScriptedServer, PinnedTargetAnsweringInVersion1GetsNothingDerivedFromThePassword) {
  SecureChannel::ClientOptions pinned;
  pinned.requireVersion2 = true;
  const Exchange x = exchange(serverHello(200'000).encode(), Bytes{0}, pinned);
  EXPECT_EQ(x.error, "Karşı taraf eski el sıkışma sürümüyle yanıt verdi; bu hedef sürüm 2'ye sabitlendi");
  EXPECT_TRUE(x.answer.empty());
}

// Someone answering in the host's place (a hostile relay, or whoever answers a lookup first) keeps what
// the viewer sends, refuses it, and tests password guesses against it afterwards.
TEST_F(ScriptedServer, AnImpostorGetsAnOfflineTestInVersion1AndOnlyItsOneGuessInVersion2) {
  constexpr std::uint32_t iterations = 50'000;
  const std::string password = "gizli parola";
  const Bytes salt(16, 0x5a), scalar(32, 0x11);  // the impostor's SPAKE2 scalar, kept for the attack
  const Bytes refusal{static_cast<std::uint8_t>(HandshakeStatus::badPassword)};
  SecureChannel::ClientOptions options;

  // Version 1: the viewer's proof confirms the right password offline, one PBKDF2 per guess.
  const EcdhKey key = EcdhKey::generate();
  const Bytes v1Hello = Hello{PeerOS::linux, key.publicKey(), Bytes(32, 7), salt, iterations, "Sahte"}.encode();
  options.offerVersion2 = false;
  const Exchange v1 = exchange(v1Hello, refusal, options, password);
  EXPECT_EQ(v1.error, "Parola yanlış");
  const Hello viewer = Hello::decode(v1.clientHello, false);
  EXPECT_TRUE(PelloraCrypto::deriveKeys(key, viewer.publicKey, password, salt, iterations, v1.clientHello, v1Hello)
                  .isValid(v1.answer, "client"));

  // Version 2: the finish answers the share the impostor committed to (a wrong guess), and checking any
  // other password against it means playing the host with that password: nothing matches, the right one
  // included.
  const Bytes v2Hello =
      Spake2Hello{PeerOS::linux, salt, iterations,
                  {Spake2(Spake2::Role::b, Spake2::passwordScalar("tahmin", salt, iterations), scalar).share()}, "Sahte"}
          .encode();
  options.offerVersion2 = true;
  const Exchange v2 = exchange(v2Hello, refusal, options, password);
  EXPECT_EQ(v2.error, "Parola yanlış");
  const Spake2Finish finish = Spake2Finish::decode(v2.answer, 1);
  for (const std::string& candidate : {std::string("tahmin"), password, std::string("")}) {
    const Spake2 host(Spake2::Role::b, Spake2::passwordScalar(candidate, salt, iterations), scalar);
    EXPECT_NE(host.finish(finish.share, v2.clientHello, v2Hello).confirmationA, finish.confirmations[0]) << candidate;
  }
}

// A client played by the test, against the real server.
class ScriptedClient : public OverLoopback {
 protected:
  // Sends `bytes` raw (a whole burst), then leaves the connection open; returns the server's error.
  std::string runServer(Bytes bytes) {
    auto [wire, accepted] = net.pair();
    wire->send(std::move(bytes), nullptr);
    auto server = net.spawn(SecureChannel::server(accepted, "p", std::nullopt, "s", longTimeout,
                                                  admitWith(HandshakeStatus::ok, log), cpu));
    net.runUntil([&] { return server->done; });
    wire->cancel();
    return server->errorText();
  }
};

TEST_F(ScriptedClient, MalformedHellosEndTheHandshake) {
  const Hello good{PeerOS::linux, EcdhKey::generate().publicKey(), Bytes(32, 1), std::nullopt, std::nullopt, "g"};
  Bytes badMagic = good.encode();
  badMagic[0] = 'Q';
  // Every decoding error is the recorded vectors' test; here, that one reaches the server's error.
  EXPECT_EQ(runServer(Framing::frame(badMagic)), "Tanınmayan protokol");
  Hello offCurve = good;
  offCurve.publicKey = Bytes(65, 0x03);
  offCurve.publicKey[0] = 0x04;
  EXPECT_NE(runServer(Framing::frame(offCurve.encode())).find("point is not on curve"), std::string::npos);
  EXPECT_EQ(log.calls, 0);
}

TEST_F(ScriptedClient, Version2FinishWithABadShareOrConfirmation) {
  Hello hello{PeerOS::linux, EcdhKey::generate().publicKey(), Bytes(32, 1), std::nullopt, std::nullopt, "g"};
  std::copy(Spake2Hello::clientMarker.begin(), Spake2Hello::clientMarker.end(), hello.nonce.begin());
  const auto withFinish = [&](const Bytes& finish) {
    Bytes burst = Framing::frame(hello.encode());
    const Bytes second = Framing::frame(finish);
    burst.insert(burst.end(), second.begin(), second.end());
    return burst;
  };
  Bytes offCurve(65, 0x01);
  offCurve[0] = 0x04;
  EXPECT_NE(runServer(withFinish(Spake2Finish{offCurve, {Bytes(32, 0)}}.encode())).find("point is not on curve"),
            std::string::npos);
  EXPECT_EQ(runServer(withFinish(Bytes(80, 0x04))), "Eksik veri");
  EXPECT_EQ(log.calls, 0) << "a finish that cannot be checked is no password attempt";

  // A usable share whose confirmation matches nothing is a wrong password.
  const Spake2 viewer(Spake2::Role::a, Spake2::passwordScalar("p", Bytes(16, 1), 50'000));
  runServer(withFinish(Spake2Finish{viewer.share(), {Bytes(32, 0)}}.encode()));
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.match, Match::none);
}

// One byte of a long hello at a time: slow reads are bounded by the handshake's timer. (Silence and half a
// hello meet the hello's own deadline in the host's admission tests.)
TEST_F(ScriptedClient, TricklingPeersAreCutByTheTimer) {
  auto [wire, accepted] = net.pair();
  const Hello hello{PeerOS::linux, EcdhKey::generate().publicKey(), Bytes(32, 1), std::nullopt, std::nullopt,
                    std::string(256, 'x')};
  auto trickle = net.spawn([](std::shared_ptr<Wire> w, Bytes bytes) -> awaitable<void> {
    for (std::uint8_t b : bytes) {
      co_await w->write(Bytes(1, b));
      asio::steady_timer t(co_await asio::this_coro::executor, 20ms);
      co_await t.async_wait(asio::use_awaitable);
    }
  }(wire, Framing::frame(hello.encode())));
  auto server = net.spawn(SecureChannel::server(accepted, "p", std::nullopt, "s", 300ms,
                                                admitWith(HandshakeStatus::ok, log), cpu));
  net.runUntil([&] { return server->done; });
  EXPECT_EQ(server->errorText(), "Bağlantı kapandı");
  wire->cancel();
  net.runUntil([&] { return trickle->done; });
}

TEST_F(OverLoopback, ClientFacingASilentServerFailsWhenTheTimerFires) {
  auto accepted = net.spawn(net.accept());
  EXPECT_EQ(net.run(SecureChannel::client(net.connect(), "p", "g", 200ms, cpu)).errorText(), "Bağlantı kapandı");
}

}  // namespace
}  // namespace pellora
