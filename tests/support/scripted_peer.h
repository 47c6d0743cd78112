#pragma once

// The far end of a session played by a script: a real secure channel over loopback TCP, keyed directly
// (no handshake), whose messages the test writes and reads itself as a hostile or merely odd peer would.
// Everything runs on the given network thread; the test thread waits on futures with a bound that only a
// broken test reaches.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/network_thread.h"
#include "core/secure_channel.h"
#include "support/loopback.h"
#include "support/on_strand.h"

namespace pellora::test {

// Two ends of one secure channel on `network`: first the session's, then the peer's.
inline std::pair<std::shared_ptr<SecureChannel>, std::shared_ptr<SecureChannel>> channelPair(NetworkThread& network) {
  namespace asio = boost::asio;
  using Tcp = asio::ip::tcp;
  Tcp::acceptor acceptor(network.context(), Tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  auto accepted = asio::co_spawn(
      network.executor(),
      [&acceptor]() -> asio::awaitable<std::shared_ptr<Wire>> {
        co_return Wire::accepted(co_await acceptor.async_accept(asio::use_awaitable));
      },
      asio::use_future);
  auto client = Wire::tcp(network.executor(), "127.0.0.1", acceptor.local_endpoint().port(), false);
  awaitFuture(asio::co_spawn(network.executor(), client->start(), asio::use_future));
  auto server = awaitFuture(std::move(accepted));
  return {SecureChannel::make(server, Hello{}, CipherState(channelKeyA), CipherState(channelKeyB)),
          SecureChannel::make(client, Hello{}, CipherState(channelKeyB), CipherState(channelKeyA))};
}

class ScriptedPeer {
 public:
  ScriptedPeer(NetworkThread& network, std::shared_ptr<SecureChannel> channel)
      : network_(network), channel_(std::move(channel)) {}
  ~ScriptedPeer() { channel_->close(std::nullopt); }

  SecureChannel& channel() { return *channel_; }
  void send(const Message& message) { channel_->send(message); }
  void sendAll(const std::vector<Message>& script) {
    for (const Message& m : script) channel_->send(m);
  }
  Message next() {
    return awaitFuture(boost::asio::co_spawn(network_.executor(), channel_->receive(), boost::asio::use_future));
  }
  // The next message of type Case; the ones before it are skipped.
  template <typename Case>
  Case next() {
    for (;;) {
      Message m = next();
      if (auto c = m.as<Case>()) return *c;
    }
  }
  // Everything the session sent until it answered a fresh ping, which it does after handling all that
  // came before.
  std::vector<Message> sync() {
    const std::uint64_t value = ++pings_;
    send(Message::Ping{value});
    std::vector<Message> before;
    for (;;) {
      Message m = next();
      if (auto p = m.as<Message::Pong>(); p && p->value == value) return before;
      before.push_back(std::move(m));
    }
  }

 private:
  NetworkThread& network_;
  std::shared_ptr<SecureChannel> channel_;
  std::uint64_t pings_ = 1'000'000;
};

}  // namespace pellora::test
