// Sealed records over loopback: nonce order, tampering, closing, concurrent senders.

#include "core/secure_channel.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "support/hex.h"
#include "support/loopback.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

using test::fromHex;
using test::Loopback;

const Bytes& keyA = test::channelKeyA;

// Two channels over a loopback pair: `client` seals with keyA, `server` with keyB.
struct ChannelPair {
  Loopback net;
  std::shared_ptr<SecureChannel> client, server;

  ChannelPair() { std::tie(client, server) = net.channelPair(); }
  test::Outcome<Message> receive(SecureChannel& channel) { return net.run(channel.receive()); }
  // Writes a raw frame into the client's side of the connection, bypassing its cipher.
  void sendRaw(const Bytes& record) { client->wire()->send(Framing::frame(record), nullptr); }
};

Message ping(std::uint64_t v) { return Message::Ping{v}; }

TEST(CipherStateTest, RecordedRecordsInBothDirections) {
  const auto& h = test::wireVectors().at("handshake").as_object();
  for (const auto& [direction, keyName] : {std::pair("clientToServer", "clientToServer"), {"serverToClient", "serverToClient"}}) {
    CipherState sender(fromHex(h.at(keyName).as_string()));
    CipherState receiver(fromHex(h.at(keyName).as_string()));
    for (const auto& item : h.at("sealed").as_object().at(direction).as_array()) {
      const auto& r = item.as_object();
      const Bytes plaintext = fromHex(r.at("plaintext").as_string());
      EXPECT_EQ(test::toHex(CipherState::nonce(sender.counter())), r.at("nonce").as_string());
      EXPECT_EQ(test::toHex(sender.seal(plaintext)), r.at("record").as_string());
      EXPECT_EQ(receiver.open(fromHex(r.at("record").as_string())), plaintext);
    }
    EXPECT_EQ(sender.counter(), 3u);
  }
}

TEST(CipherStateTest, ShortAndForgedRecords) {
  for (const auto& item : test::wireVectors().at("negative").as_array()) {
    const auto& c = item.as_object();
    if (c.at("kind").as_string() != "cipherOpen") continue;
    CipherState state(Bytes(32, 0));
    const Bytes input = fromHex(c.at("input").as_string());
    if (input.size() < CipherState::tagSize) {
      EXPECT_THROW(state.open(input), WireError);
      EXPECT_EQ(state.counter(), 0u) << "a short record leaves the counter";
    } else {
      try {
        state.open(input);
        ADD_FAILURE() << "a forged record opened";
      } catch (const CryptoError& e) {
        EXPECT_EQ(e, CryptoError::authenticationFailure());
        EXPECT_EQ(e.description(), c.at("error").as_string());
      }
      EXPECT_EQ(state.counter(), 1u) << "a failed open still consumes its nonce";
    }
  }
  // Records out of order are the channel's test below.
}

TEST(SecureChannelRecords, TamperedReplayedAndReorderedRecordsFailForGood) {
  CipherState sealer(keyA);
  std::vector<Bytes> sealed;
  for (std::uint64_t i = 0; i < 3; ++i) sealed.push_back(sealer.seal(ping(i).encode()));
  Bytes tampered = sealed[0];
  tampered[2] ^= 1;
  const std::string auth = "authenticationFailure", short_ = "Eksik veri", first = "ping 0";
  // Raw records sent, and what the receiving channel makes of each in turn.
  const struct {
    const char* what;
    std::vector<Bytes> records;
    std::vector<std::string> outcomes;
  } cases[] = {
      {"a flipped bit, then the genuine next record", {tampered, sealed[1]}, {auth, auth}},
      {"replay", {sealed[0], sealed[0], sealed[1]}, {first, auth, auth}},
      {"reorder", {sealed[1], sealed[0]}, {auth, auth}},
      // 15 bytes are truncated and consume no nonce; counter 0 again fails after sealed[0]
      {"truncated", {Bytes(15, 0), sealed[0], CipherState(keyA).seal({})}, {short_, first, auth}},
      {"an empty plaintext is no message", {CipherState(keyA).seal({})}, {short_}},
  };
  for (const auto& c : cases) {
    ChannelPair p;
    for (const Bytes& record : c.records) p.sendRaw(record);
    for (const std::string& expected : c.outcomes) {
      const auto got = p.receive(*p.server);
      EXPECT_EQ(got.value ? (*got.value == ping(0) ? first : "another message") : got.errorText(), expected) << c.what;
    }
  }
}

TEST(SecureChannelClose, WithoutReasonCancelsAtOnceAndSendsNoBye) {
  ChannelPair p;
  p.client->close(std::nullopt);
  EXPECT_TRUE(p.client->wire()->isCancelled());
  EXPECT_EQ(p.client->queuedBytes(), 0);
  EXPECT_EQ(p.receive(*p.server).errorText(), "Bağlantı kapandı");
  // The channel's own reader learns of it too.
  EXPECT_EQ(p.receive(*p.client).errorText(), "Bağlantı kapandı");
}

TEST(SecureChannelClose, FirstFailedSendClosesTheChannel) {
  ChannelPair p;
  p.server->wire()->cancel();
  p.net.poll();
  const Message chunk = Message::VideoFrame{false, 0, Bytes(64 * 1024, 1)};
  for (int i = 0; i < 2000 && !p.client->isClosed(); ++i) {
    p.client->send(chunk);
    p.net.poll();
  }
  ASSERT_TRUE(p.client->isClosed()) << "writing to a closed peer never failed";
  p.net.runUntil([&] { return p.client->queuedBytes() == 0; });
  EXPECT_TRUE(p.client->wire()->isCancelled());
  p.client->send(chunk);
  EXPECT_EQ(p.client->queuedBytes(), 0) << "sends after the failure are dropped";
  EXPECT_EQ(p.receive(*p.client).errorText(), "Bağlantı kapandı");
}

TEST(SecureChannelConcurrency, FourSendingThreadsKeepEveryRecordInOrder) {
  ChannelPair p;
  constexpr int threads = 4, perThread = 500;
  auto work = boost::asio::make_work_guard(p.net.io);
  p.net.io.restart();
  std::thread network([&] { p.net.io.run(); });

  std::promise<std::string> result;
  boost::asio::co_spawn(
      p.net.io,
      [&]() -> boost::asio::awaitable<void> {
        std::array<std::uint64_t, threads> next{};
        for (int n = 0; n < threads * perThread; ++n) {
          const Message m = co_await p.server->receive();
          const std::uint64_t v = m.as<Message::Ping>()->value;
          const auto t = v >> 32;
          if (t >= threads || (v & 0xffffffff) != next[t]++) co_return result.set_value("out of order at " + std::to_string(n));
        }
        result.set_value("");
      },
      [&](std::exception_ptr e) {
        if (e) result.set_value(test::errorText(e));
      });

  std::vector<std::thread> senders;
  for (std::uint64_t t = 0; t < threads; ++t)
    senders.emplace_back([&, t] {
      for (std::uint64_t i = 0; i < perThread; ++i) p.client->send(ping(t << 32 | i));
    });
  for (auto& s : senders) s.join();
  auto outcome = result.get_future();
  EXPECT_EQ(outcome.get(), "");
  work.reset();
  p.net.io.stop();
  network.join();
}

}  // namespace
}  // namespace pellora
