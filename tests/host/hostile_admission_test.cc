// Strangers at the host's door: silent connections, half-sent and oversized hellos, floods from one
// address and through the relay. Each case checks who still gets in, what the others are told and how
// many places they hold; never how long anything took.

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/ecdh_key.h"
#include "core/spake2_hello.h"
#include "core/transport_error.h"
#include "host_service_fixture.h"
#include "support/raw_client.h"

namespace pellora {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test::RawClient;

std::string framed(const Bytes& payload) {
  const Bytes frame = Framing::frame(payload);
  return std::string(frame.begin(), frame.end());
}

// A client hello as a viewer sends it, asking for version 2 or not.
std::string clientHello(bool version2) {
  Bytes nonce = PelloraCrypto::randomBytes(Hello::nonceSize);
  if (version2) std::copy(Spake2Hello::clientMarker.begin(), Spake2Hello::clientMarker.end(), nonce.begin());
  return framed(Hello{PeerOS::linux, EcdhKey::generate().publicKey(), nonce, std::nullopt, std::nullopt, "Sessiz"}.encode());
}

class HostileAdmissionTest : public test::HostServiceTest {
 protected:
  // Sharing on, no approval, with the hello and proof deadlines given.
  void open(std::chrono::steady_clock::duration hello, std::chrono::steady_clock::duration proof = 1h) {
    tune = [=, previous = tune](HostService::Options& o) {
      o.helloTimeout = hello;
      o.proofTimeout = proof;
      if (previous) previous(o);
    };
    make();
    onMain([&] { settings.setRequireApproval(false); });
    start();
  }
  int inProgress() {
    return onMain([&] { return service->handshakesInProgress(); });
  }
  std::vector<std::unique_ptr<RawClient>> silent(int count, const std::string& source) {
    std::vector<std::unique_ptr<RawClient>> callers;
    for (int i = 0; i < count; ++i) callers.push_back(std::make_unique<RawClient>("127.0.0.1", port(), 20000, source));
    return callers;
  }
  // What a viewer's handshake from `wire` ends with: admitted (the session is then closed), a status, or
  // the connection closed before any status.
  std::string outcome(const std::shared_ptr<Wire>& wire, const std::string& pw, bool version2 = true) {
    ClientHandshakeOptions options;
    options.offerVersion2 = version2;
    auto handshake = SecureChannel::client(wire, pw, "Ayşe", 60s, cpu, options);
    try {
      auto channel = asio::co_spawn(network.context(), std::move(handshake), asio::use_future).get();
      channel->close(std::nullopt);
      EXPECT_TRUE(eventually([&] { return !service->session(); }));
      return "admitted";
    } catch (const HandshakeError& e) {
      wire->cancel();
      return e.kind() == HandshakeError::Kind::status ? std::string(description(e.handshakeStatus())) : "handshake";
    } catch (const TransportError&) {
      wire->cancel();
      return "closed";
    }
  }
};

TEST_F(HostileAdmissionTest, SilentCallersFromOneAddressHoldOnlyThatAddresssPlaces) {
  open(1h);
  // Accepted in order: the first four hold the address's places, the rest are closed at once.
  auto callers = silent(8, "127.0.0.1");
  for (int i = 4; i < 8; ++i) EXPECT_TRUE(callers[i]->closedByPeer()) << i;
  EXPECT_EQ(inProgress(), 4);

  EXPECT_EQ(outcome(wireFrom("127.0.0.2"), password()), "admitted");
  EXPECT_EQ(outcome(wireFrom("127.0.0.1"), password()), "closed") << "nothing can be said before the hello";
  EXPECT_EQ(inProgress(), 4);

  // Switching sharing off lets them all go.
  onMain([&] { service->stop(); });
  EXPECT_TRUE(callers[0]->closedByPeer());
  EXPECT_EQ(inProgress(), 0);
}

TEST_F(HostileAdmissionTest, TheHelloDeadlineFreesTheAddresssPlaces) {
  open(1s);
  auto callers = silent(4, "127.0.0.1");
  callers[1]->send(clientHello(true).substr(0, 40));  // half a hello
  for (auto& caller : callers) EXPECT_TRUE(caller->closedByPeer());
  EXPECT_TRUE(eventually([&] { return service->handshakesInProgress() == 0; }));
  EXPECT_EQ(outcome(wireFrom("127.0.0.1"), password()), "admitted");
}

TEST_F(HostileAdmissionTest, CallersThatNeverProveAreClosedAfterTheHostsHello) {
  open(1h, 200ms);
  for (bool version2 : {false, true}) {
    RawClient caller("127.0.0.1", port(), 20000);
    caller.send(clientHello(version2));
    auto prefix = caller.read(4);
    ASSERT_TRUE(prefix);
    const std::uint32_t length = Framing::payloadLength(asBytes(*prefix));
    EXPECT_LE(length, SecureChannel::maxHandshakeFrame);
    EXPECT_TRUE(caller.read(length));
    EXPECT_TRUE(caller.closedByPeer()) << version2;
  }
  EXPECT_TRUE(eventually([&] { return service->handshakesInProgress() == 0; }));
}

TEST_F(HostileAdmissionTest, HandshakeFramesAreBoundedByTheLargestValidHello) {
  open(1h);
  for (std::uint32_t announced : {SecureChannel::maxHandshakeFrame + 1, Framing::maxFrame}) {
    RawClient caller("127.0.0.1", port(), 20000);
    ByteWriter length(4);
    length.u32(announced);
    const Bytes prefix = std::move(length).data();
    caller.send(std::string(prefix.begin(), prefix.end()));
    EXPECT_TRUE(caller.closedByPeer()) << announced;
  }
  EXPECT_TRUE(eventually([&] { return service->handshakesInProgress() == 0; }));

  // The largest valid hellos of both versions still pass, each way.
  const std::string longest(Hello::maxName, 'n');
  for (bool version2 : {false, true}) {
    auto wire = Wire::tcp(network.executor(), "127.0.0.1", port(), false);
    ClientHandshakeOptions options;
    options.offerVersion2 = version2;
    auto handshake = SecureChannel::client(wire, password(), longest, 60s, cpu, options);
    auto channel = asio::co_spawn(network.context(), std::move(handshake), asio::use_future).get();
    EXPECT_TRUE(eventually([&] { return service->state().active.has_value(); }));
    EXPECT_EQ(state().active->peerName, longest);
    EXPECT_EQ(channel->handshakeVersion(), version2 ? 2 : 1);
    channel->close(std::nullopt);
    EXPECT_TRUE(eventually([&] { return !service->session(); }));
  }
}

TEST_F(HostileAdmissionTest, ABusyHostAnswersEveryVersionBeforeCheckingThePassword) {
  open(1h);
  auto running = viewer();
  const auto event = state().lastEvent;
  for (bool version2 : {false, true}) {
    EXPECT_EQ(outcome(wireFrom("127.0.0.2"), password(), version2), "Karşı taraf şu an başka bir oturumda");
    // A wrong password is not even looked at, so it neither counts towards the lock nor shows up.
    EXPECT_EQ(outcome(wireFrom("127.0.0.2"), "yanlis", version2), "Karşı taraf şu an başka bir oturumda");
  }
  EXPECT_EQ(state().lastEvent, event);
  running->close(std::nullopt);
  EXPECT_TRUE(eventually([&] { return !service->session(); }));
  EXPECT_EQ(outcome(wireFrom("127.0.0.2"), "yanlis"), "Parola yanlış");
}

TEST_F(HostileAdmissionTest, CallersThroughTheRelayHaveACapOfTheirOwn) {
  tune = [](HostService::Options& o) { o.maxPendingRelayed = 2; };
  test::InProcessRelay relay(dir);
  onMain([&] { settings.setRelayURL(relay.url()); });
  open(1h);
  onMain([&] {
    settings.setRelayEnabled(true);
    service->restartRelay();
  });
  ASSERT_TRUE(eventually([&] {
    return std::holds_alternative<HostService::RelayState::Online>(service->state().relayState.value);
  }));
  const RelayIdentity identity = std::get<HostService::RelayState::Online>(state().relayState.value).identity;
  RelayClient viewerSide(network.executor(), relay.url());
  auto join = [&] { return asio::co_spawn(network.context(), viewerSide.connect(identity.id), asio::use_future).get(); };

  std::vector<std::shared_ptr<Wire>> quiet{join(), join()};
  ASSERT_TRUE(eventually([&] { return service->handshakesInProgress() == 2; }));
  EXPECT_EQ(outcome(join(), password()), "closed");
  EXPECT_EQ(outcome(wireFrom("127.0.0.1"), password()), "admitted") << "the local network is not held up";

  for (auto& wire : quiet) wire->cancel();
  EXPECT_TRUE(eventually([&] { return service->handshakesInProgress() == 0; }));
  EXPECT_EQ(outcome(join(), password()), "admitted");
}

}  // namespace
}  // namespace pellora
