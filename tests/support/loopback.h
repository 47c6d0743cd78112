#pragma once

// Loopback TCP for the transport tests: a listener on 127.0.0.1, coroutines spawned on one io_context
// that the test thread runs, and the outcome of each coroutine.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/crypto_error.h"
#include "core/handshake_error.h"
#include "core/secure_channel.h"
#include "core/transport_error.h"
#include "core/wire.h"
#include "core/wire_error.h"

namespace pellora::test {

inline const Bytes channelKeyA(32, 0xa1), channelKeyB(32, 0xb2);

// The user-visible text of any error the transport layers throw.
inline std::string errorText(const std::exception_ptr& error) {
  if (!error) return "(no error)";
  try {
    std::rethrow_exception(error);
  } catch (const TransportError& e) {
    return e.description();
  } catch (const WireError& e) {
    return e.description();
  } catch (const HandshakeError& e) {
    return e.description();
  } catch (const CryptoError& e) {
    return e.description();
  } catch (const std::exception& e) {
    return std::string("unexpected: ") + e.what();
  }
}

template <typename T>
struct Outcome {
  bool done = false;
  std::optional<T> value;
  std::exception_ptr error;
  std::string errorText() const { return test::errorText(error); }
};
template <>
struct Outcome<void> {
  bool done = false;
  bool value = false;
  std::exception_ptr error;
  std::string errorText() const { return test::errorText(error); }
};

class Loopback {
 public:
  using Tcp = boost::asio::ip::tcp;

  Loopback() : acceptor_(io, Tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {}

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  // An unstarted outgoing wire to the listener.
  std::shared_ptr<Wire> connect() { return Wire::tcp(io.get_executor(), "127.0.0.1", port(), false); }

  // (co_spawn needs results that can be default-constructed, so the socket comes in a shared_ptr.)
  boost::asio::awaitable<std::shared_ptr<Tcp::socket>> acceptSocket() {
    co_return std::make_shared<Tcp::socket>(co_await acceptor_.async_accept(boost::asio::use_awaitable));
  }
  boost::asio::awaitable<std::shared_ptr<Wire>> accept() {
    co_return Wire::accepted(co_await acceptor_.async_accept(boost::asio::use_awaitable));
  }

  // A connected pair of ready wires (client side connected plainly, server side accepted).
  std::pair<std::shared_ptr<Wire>, std::shared_ptr<Wire>> pair() {
    auto client = connect();
    auto server = spawn(accept());
    auto started = spawn(client->start());
    runUntil([&] { return server->done && started->done; });
    if (!server->value || !started->value) throw std::runtime_error("loopback pair failed");
    return {client, *server->value};
  }
  // Two ends of one secure channel over pair(), keyed directly (no handshake): the first seals with
  // channelKeyA, the second with channelKeyB.
  std::pair<std::shared_ptr<SecureChannel>, std::shared_ptr<SecureChannel>> channelPair() {
    auto [a, b] = pair();
    return {SecureChannel::make(a, Hello{}, CipherState(channelKeyA), CipherState(channelKeyB)),
            SecureChannel::make(b, Hello{}, CipherState(channelKeyB), CipherState(channelKeyA))};
  }

  template <typename T>
  std::shared_ptr<Outcome<T>> spawn(boost::asio::awaitable<T> task) {
    // One handler per case rather than a generic one: clang 14 instantiates both branches of an `if constexpr`
    // on a generic lambda's parameter pack.
    auto outcome = std::make_shared<Outcome<T>>();
    if constexpr (std::is_void_v<T>) {
      boost::asio::co_spawn(io, std::move(task), [outcome](std::exception_ptr e) {
        outcome->done = true;
        outcome->error = e;
        outcome->value = !e;
      });
    } else {
      boost::asio::co_spawn(io, std::move(task), [outcome](std::exception_ptr e, T value) {
        outcome->done = true;
        outcome->error = e;
        if (!e) outcome->value.emplace(std::move(value));
      });
    }
    return outcome;
  }

  // Runs `task` to its end.
  template <typename T>
  Outcome<T> run(boost::asio::awaitable<T> task) {
    auto outcome = spawn(std::move(task));
    runUntil([&] { return outcome->done; });
    return *outcome;
  }

  // Runs the context until `done()` holds; a test that would hang fails instead after a generous bound.
  template <typename Done>
  void runUntil(Done done, std::chrono::seconds bound = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    io.restart();
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "the loopback test did not finish";
        return;
      }
      io.run_one_for(std::chrono::milliseconds(50));
      if (io.stopped()) io.restart();
    }
  }
  // Runs every handler that is ready, without waiting.
  void poll() {
    io.restart();
    io.poll();
  }

  boost::asio::io_context io;

 private:
  Tcp::acceptor acceptor_;
};

}  // namespace pellora::test
