// Both handshake procedures over loopback, against each other and against scripted peers.

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/ecdh_key.h"
#include "core/secure_channel.h"
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

// Admits with `status` after recording what it was shown; optionally waits first, as an approval prompt does.
SecureChannel::Admit admitWith(HandshakeStatus status, AdmitLog& log, std::chrono::milliseconds wait = 0ms) {
  return [status, &log, wait](const Hello&, Match match) -> awaitable<HandshakeStatus> {
    ++log.calls;
    log.match = match;
    if (wait.count() > 0) {
      asio::steady_timer t(co_await asio::this_coro::executor, wait);
      co_await t.async_wait(asio::use_awaitable);
    }
    co_return status;
  };
}

class Handshake : public ::testing::Test {
 protected:
  void run(std::string clientPassword, std::string sessionPassword, std::optional<std::string> permanent,
           SecureChannel::Admit admit, SecureChannel::Duration serverTimeout = longTimeout) {
    auto serverWire = net.spawn(net.accept());
    clientWire = net.connect();
    client = net.spawn(SecureChannel::client(clientWire, std::move(clientPassword), "Görüntüleyen", longTimeout, cpu));
    net.runUntil([&] { return serverWire->done; });
    acceptedWire = *serverWire->value;
    server = net.spawn(SecureChannel::server(acceptedWire, std::move(sessionPassword), std::move(permanent), "Paylaşan",
                                             serverTimeout, std::move(admit), cpu));
    net.runUntil([&] { return client->done && server->done; });
  }
  test::Outcome<Message> receive(SecureChannel& channel) {
    auto outcome = net.spawn(channel.receive());
    net.runUntil([&] { return outcome->done; });
    return *outcome;
  }

  test::Loopback net;
  CpuPool cpu{2};
  std::shared_ptr<Wire> clientWire, acceptedWire;
  std::shared_ptr<test::Outcome<Channel>> client, server;
  AdmitLog log;
};

TEST_F(Handshake, WrongPasswordIsRefusedAndTheServerHangsUp) {
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
  auto next = net.spawn(clientWire->readFrame());
  net.runUntil([&] { return next->done; });
  EXPECT_EQ(next->errorText(), "Bağlantı kapandı");
  EXPECT_TRUE(acceptedWire->isCancelled());
}

TEST_F(Handshake, PermanentPasswordMatchesAndItsKeysAreUsed) {
  run("kalıcı", "oturum", "kalıcı", admitWith(HandshakeStatus::ok, log));
  ASSERT_TRUE(client->value) << client->errorText();
  EXPECT_EQ(log.match, Match::permanent);
  (*client->value)->send(Message::Ping{5});
  EXPECT_EQ(*receive(**server->value).value, Message(Message::Ping{5}));

  // A proof valid under both passwords counts as the session password's.
  run("ikisi", "ikisi", "ikisi", admitWith(HandshakeStatus::ok, log));
  EXPECT_EQ(log.match, Match::session);
}

TEST_F(Handshake, ConvenienceFormTellsWhetherTheSessionPasswordMatched) {
  std::vector<bool> seen;
  for (const char* typed : {"oturum", "başka"}) {
    test::Loopback loop;
    CpuPool pool{2};  // joined before `loop` is destroyed: its jobs finish by posting to loop's context
    auto serverWire = loop.spawn(loop.accept());
    auto c = loop.spawn(SecureChannel::client(loop.connect(), typed, "g", longTimeout, pool));
    loop.runUntil([&] { return serverWire->done; });
    auto s = loop.spawn(SecureChannel::server(
        *serverWire->value, "oturum", "p", longTimeout,
        [&seen](const Hello&, bool matched) -> awaitable<HandshakeStatus> {
          seen.push_back(matched);
          co_return matched ? HandshakeStatus::ok : HandshakeStatus::badPassword;
        },
        pool));
    loop.runUntil([&] { return c->done && s->done; });
  }
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST_F(Handshake, AdmitMaySuspendButTheTimerStillBoundsIt) {
  run("p", "p", std::nullopt, admitWith(HandshakeStatus::ok, log, 50ms));
  EXPECT_TRUE(client->value) << client->errorText();

  // An approval that is still pending when the timer fires: the wire is cancelled under it.
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

// A server played by the test: reads the client's hello, answers with `hello`, then runs `rest`.
class ScriptedServer : public ::testing::Test {
 protected:
  static Hello serverHello(std::uint32_t iterations) {
    return Hello{PeerOS::macOS, EcdhKey::generate().publicKey(), Bytes(32, 7), Bytes(16, 9), iterations, "Sahte"};
  }
  // Runs the client against a server that sends `hello` and then `reply` (if any) after reading one frame.
  std::string runClient(const Hello& hello, std::optional<Bytes> reply, bool* sawProof = nullptr) {
    auto serverWire = net.spawn(net.accept());
    auto wire = net.connect();
    auto client = net.spawn(SecureChannel::client(wire, "p", "g", longTimeout, cpu));
    net.runUntil([&] { return serverWire->done; });
    auto script = net.spawn(script_(*serverWire->value, hello.encode(), std::move(reply)));
    net.runUntil([&] { return client->done; });
    wire->cancel();
    net.runUntil([&] { return script->done; });
    if (sawProof) *sawProof = script->value && *script->value;
    return client->errorText();
  }
  static awaitable<bool> script_(std::shared_ptr<Wire> w, Bytes hello, std::optional<Bytes> reply) {
    co_await w->readFrame();
    co_await w->writeFrame(hello);
    if (!reply) {
      co_await w->readFrame();  // until the client gives up
      co_return false;
    }
    const Bytes proof = co_await w->readFrame();
    co_await w->writeFrame(*reply);
    co_return proof.size() == 32;
  }

  test::Loopback net;
  CpuPool cpu{2};
};

TEST_F(ScriptedServer, IterationCountsOutsideTheRangeFailBeforeAnyWork) {
  EXPECT_EQ(runClient(serverHello(49'999), std::nullopt), "Geçersiz anahtar türetme parametresi (49999)");
  EXPECT_EQ(runClient(serverHello(1'000'001), std::nullopt), "Geçersiz anahtar türetme parametresi (1000001)");
}

TEST_F(ScriptedServer, RangeEndsAreAcceptedAndTheStatusFrameIsChecked) {
  bool proved = false;
  // 50,000: a proof is sent; status 7 reads as `rejected`.
  EXPECT_EQ(runClient(serverHello(50'000), Bytes{7}, &proved), "Karşı taraf bağlantıyı reddetti");
  EXPECT_TRUE(proved);
  // 1,000,000: `ok` with a forged server proof (and trailing bytes).
  Bytes forged(40, 0x55);
  forged[0] = 0;
  proved = false;
  EXPECT_EQ(runClient(serverHello(1'000'000), forged, &proved), "Karşı tarafın kimliği doğrulanamadı");
  EXPECT_TRUE(proved);
  EXPECT_EQ(runClient(serverHello(50'000), Bytes{0, 1, 2, 3}), "Eksik veri");
  EXPECT_EQ(runClient(serverHello(50'000), Bytes{}), "Eksik veri");
}

TEST_F(ScriptedServer, ServerKeyOffTheCurveFailsWithTheLibraryText) {
  Hello hello = serverHello(50'000);
  hello.publicKey = Bytes(65, 0x02);
  hello.publicKey[0] = 0x04;
  const std::string error = runClient(hello, std::nullopt);
  EXPECT_NE(error.find("point is not on curve"), std::string::npos) << error;
}

// A client played by the test, against the real server.
class ScriptedClient : public ::testing::Test {
 protected:
  // Sends `bytes` raw (a whole burst), then leaves the connection open; returns the server's error.
  std::string runServer(Bytes bytes, SecureChannel::Duration timeout = longTimeout) {
    auto serverWire = net.spawn(net.accept());
    auto wire = net.connect();
    auto started = net.spawn(wire->start());
    net.runUntil([&] { return serverWire->done && started->done; });
    wire->send(std::move(bytes), nullptr);
    auto server = net.spawn(SecureChannel::server(*serverWire->value, "p", std::nullopt, "s", timeout,
                                                  admitWith(HandshakeStatus::ok, log), cpu));
    net.runUntil([&] { return server->done; });
    wire->cancel();
    return server->errorText();
  }

  test::Loopback net;
  CpuPool cpu{2};
  AdmitLog log;
};

TEST_F(ScriptedClient, MalformedHellosEndTheHandshake) {
  const Hello good{PeerOS::linux, EcdhKey::generate().publicKey(), Bytes(32, 1), std::nullopt, std::nullopt, "g"};
  Bytes badMagic = good.encode();
  badMagic[0] = 'Q';
  EXPECT_EQ(runServer(Framing::frame(badMagic)), "Tanınmayan protokol");
  Bytes badVersion = good.encode();
  badVersion[4] = 2;
  EXPECT_EQ(runServer(Framing::frame(badVersion)), "Desteklenmeyen protokol sürümü 2");
  EXPECT_EQ(runServer(Framing::frame(ByteView(good.encode()).first(50))), "Eksik veri");
  EXPECT_EQ(runServer({0xff, 0xff, 0xff, 0xff}), "Çerçeve çok büyük (4294967295 bayt)");
  Hello offCurve = good;
  offCurve.publicKey = Bytes(65, 0x03);
  offCurve.publicKey[0] = 0x04;
  EXPECT_NE(runServer(Framing::frame(offCurve.encode())).find("point is not on curve"), std::string::npos);
  EXPECT_EQ(log.calls, 0);
}

TEST_F(ScriptedClient, SilentOrTricklingPeersAreCutByTheTimer) {
  EXPECT_EQ(runServer({}, 200ms), "Bağlantı kapandı");
  // Half a frame and nothing more.
  EXPECT_EQ(runServer({0, 0, 0, 120, 'P', 'L'}, 200ms), "Bağlantı kapandı");

  // One byte of a long hello at a time: slow reads are bounded by the same timer.
  auto serverWire = net.spawn(net.accept());
  auto wire = net.connect();
  auto started = net.spawn(wire->start());
  net.runUntil([&] { return serverWire->done && started->done; });
  const Hello hello{PeerOS::linux, EcdhKey::generate().publicKey(), Bytes(32, 1), std::nullopt, std::nullopt,
                    std::string(256, 'x')};
  auto trickle = net.spawn([](std::shared_ptr<Wire> w, Bytes bytes) -> awaitable<void> {
    for (std::uint8_t b : bytes) {
      co_await w->write(Bytes(1, b));
      asio::steady_timer t(co_await asio::this_coro::executor, 20ms);
      co_await t.async_wait(asio::use_awaitable);
    }
  }(wire, Framing::frame(hello.encode())));
  auto server = net.spawn(SecureChannel::server(*serverWire->value, "p", std::nullopt, "s", 300ms,
                                                admitWith(HandshakeStatus::ok, log), cpu));
  net.runUntil([&] { return server->done; });
  EXPECT_EQ(server->errorText(), "Bağlantı kapandı");
  wire->cancel();
  net.runUntil([&] { return trickle->done; });
}

TEST(HandshakeTimer, ClientFacingASilentServerFailsWhenTheTimerFires) {
  test::Loopback net;
  CpuPool cpu(1);
  auto accepted = net.spawn(net.accept());
  auto client = net.spawn(SecureChannel::client(net.connect(), "p", "g", 200ms, cpu));
  net.runUntil([&] { return client->done; });
  EXPECT_EQ(client->errorText(), "Bağlantı kapandı");
}

}  // namespace
}  // namespace pellora
