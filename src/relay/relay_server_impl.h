#pragma once

// What the relay server's parts share: its state, the registry threads, the answers every endpoint gives and
// the steps that hand a connection on. The listeners and threads are wired in relay_server.cc; the HTTP
// endpoints live in endpoints.cc, the hosts' control lines in control_lines.cc and the internal connections
// between nodes of a cluster in internal_listener.cc. Included by those files only.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/json.hpp>

#include <atomic>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>

#include "relay/admission.h"
#include "relay/cluster_link.h"
#include "relay/relay_server.h"
#include "relay/splice.h"

namespace pellora::relay {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using net::awaitable;
using net::use_awaitable;
using tcp = net::ip::tcp;
using namespace std::string_view_literals;  // GCC 12 mishandles string-literal arrays inside co_await calls
inline constexpr auto tuple = net::as_tuple(use_awaitable);

inline constexpr std::size_t kHeadLimit = 16 * 1024;  // request heads, and control lines
inline constexpr std::string_view kSwitching =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: pellora-relay/1\r\n\r\n";

inline std::string errorBody(std::string_view code) {
  return boost::json::serialize(boost::json::object{{"error", code}});
}

// A whole answer that closes the connection: status, headers and body ({"error": code} when `code` is set).
inline std::string answerText(http::status status, std::string_view code, std::string body = {}) {
  http::response<http::string_body> res{status, 11};
  res.set(http::field::server, "pellora-relay");
  res.set(http::field::content_type, "application/json");
  res.set(http::field::connection, "close");
  res.body() = code.empty() ? std::move(body) : errorBody(code);
  res.prepare_payload();
  std::ostringstream text;
  text << res;
  return std::move(text).str();
}

struct RelayServer::Impl : std::enable_shared_from_this<Impl> {
  net::io_context& io;
  const RelayConfig config;
  RelayRegistry& registry;
  net::any_io_executor registryExecutor;
  std::vector<net::any_io_executor> copiers;
  std::atomic<std::size_t> nextCopier{0};
  tcp::acceptor acceptor{io};
  tcp::acceptor internal{io};  // cluster: connections from other nodes
  std::optional<ClusterLink> cluster;  // in a cluster
  std::size_t internalSetups = 0;      // on the setup thread: internal connections still proving the key
  net::steady_timer internalSlot{io};  // wakes the internal accept loop when a setup ends
  net::steady_timer ticker{io};
  std::optional<net::ssl::context> tls;
  std::atomic<bool> stopping{false};
  std::atomic<bool> registryDown{false};  // reported once per outage

  Admission admission{config};  // connection slots and request rates

  Impl(net::io_context& i, RelayConfig c, RelayRegistry& r) : io(i), config(std::move(c)), registry(r) {}

  template <typename Stream>
  bool allow(Admission::Endpoint endpoint, const Connection<Stream>& c, std::string_view identity = {}) {
    return admission.allow(endpoint, c.address, identity);
  }

  net::any_io_executor copier() {
    return copiers[nextCopier.fetch_add(1, std::memory_order_relaxed) % copiers.size()];
  }

  // Runs `f` on a registry thread; nullopt when the registry's store cannot be reached.
  template <typename F>
  awaitable<std::optional<std::invoke_result_t<F&>>> registryCall(F f) {
    using R = std::invoke_result_t<F&>;
    auto run = [this, f = std::move(f)]() mutable -> awaitable<std::optional<R>> {
      try {
        std::optional<R> result(f());
        reachable();
        co_return result;
      } catch (const RegistryUnavailable& e) {
        unreachable(e);
      }
      co_return std::nullopt;
    };
    co_return co_await net::co_spawn(registryExecutor, std::move(run), use_awaitable);
  }

  // A registry call in its pipelined form, `start(done)`: made here where the registry has a pipeline, so
  // that no registry thread waits on it and a burst of calls costs the store's round trips and no thread
  // switch each; otherwise on a registry thread, where the blocking form runs. nullopt when the store cannot
  // be reached.
  template <typename T, typename Start>
  awaitable<std::optional<T>> storeCall(Start start) {
    try {
      T result = co_await net::async_initiate<decltype(use_awaitable), void(std::exception_ptr, T)>(
          [this, &start](auto handler) {
            auto held = std::make_shared<decltype(handler)>(std::move(handler));
            auto done = [held, here = io.get_executor()](T value, std::exception_ptr error) {
              net::post(here, [held, value = std::move(value), error]() mutable { (*held)(error, std::move(value)); });
            };
            if (registry.pipelined()) start(std::move(done));
            else net::post(registryExecutor, [start = std::move(start), done = std::move(done)]() mutable { start(std::move(done)); });
          },
          use_awaitable);
      reachable();
      co_return result;
    } catch (const RegistryUnavailable& e) {
      unreachable(e);
    }
    co_return std::nullopt;
  }

  // Reported once per outage.
  void unreachable(const RegistryUnavailable& e) {
    if (!registryDown.exchange(true))
      std::cerr << "pellora-relay: registry unreachable (" << e.what()
                << "); registrations and connects get 503 until it is back" << std::endl;
  }
  void reachable() {
    if (registryDown.exchange(false)) std::cerr << "pellora-relay: registry reachable again" << std::endl;
  }

  // ---------------------------------------------------------------------------------- accept (relay_server.cc)

  // Listens at `at` with TCP_NODELAY, which the sockets it accepts inherit: a splice's small writes (input,
  // cursor updates) must not wait for acks.
  static void listenOn(tcp::acceptor& acceptor, const tcp::endpoint& at);
  // Hands every connection `from` accepts to `take(socket, peer address)` until the server stops. While
  // `full()`, it waits for `slot` to be cancelled before accepting more (the kernel queues them meanwhile).
  using Taker = std::function<void(tcp::socket, net::ip::address)>;
  awaitable<void> acceptLoop(tcp::acceptor& from, Taker take, std::function<bool()> full = [] { return false; },
                             net::steady_timer* slot = nullptr);
  static constexpr int kAcceptBurst = 64;  // connections taken from the kernel's queue per pass
  static constexpr std::chrono::milliseconds kAcceptRetry{100};  // after an accept failed (no file descriptor left)
  void accepted(tcp::socket socket, net::ip::address address);
  // Takes a slot for the connection (or refuses it) and serves it.
  void start(tcp::socket socket, net::ip::address address);
  awaitable<void> proxied(tcp::socket socket, net::ip::address balancer);
  awaitable<void> tickLoop();

  template <typename Stream>
  void track(Connection<Stream>& c, std::uint64_t id, net::ip::address address = {}) {
    c.address = address;
    std::weak_ptr<Impl> weak = shared_from_this();
    c.release = [weak, id] {
      if (auto self = weak.lock()) self->admission.leave(id);
    };
  }

  // Refusals: an address beyond its share of connections (503 at once, without waiting for its request) or
  // asking beyond its rate (429). They are written, and linger until the client has read them, on a thread
  // of their own at idle priority (`refusals`), so that a flood of them costs the setup thread little more
  // than its accepts and a legitimate setup never waits behind them. At most kLingering at once; beyond
  // that, sockets are closed without an answer. TLS connections are answered here (their state lives
  // here), or just closed when refused before their handshake.
  static constexpr int kLingering = 256;
  std::atomic<int> refusing{0};
  net::any_io_executor refusals;
  const std::string capacityAnswer = answerText(http::status::service_unavailable, "capacity"sv);
  const std::string rateLimitAnswer = answerText(http::status::too_many_requests, "rate-limit"sv);
  // `slot`, when set, is given back on the setup thread once the answer is done.
  void refuse(tcp::socket socket, const std::string& answer, std::shared_ptr<void> slot = nullptr);
  awaitable<void> linger(tcp::socket socket, const std::string& answer);
  template <typename Stream>
  awaitable<void> decline(std::shared_ptr<Connection<Stream>> c, const std::string& answer) {
    if constexpr (std::is_same_v<Stream, PlainStream>) {
      refuse(c->stream.release_socket(), answer, c);
    } else {
      co_await sendAndClose(*c, answer);
    }
  }
  awaitable<void> serveTls(std::shared_ptr<Connection<TlsStream>> c);

  // ----------------------------------------------------------------------------------- requests (endpoints.cc)

  template <typename Stream>
  awaitable<void> serve(std::shared_ptr<Connection<Stream>> c);

  // Answers and closes. Error answers carry {"error": code}.
  template <typename Stream>
  awaitable<void> respond(Connection<Stream>& c, http::status status, std::string_view code,
                          std::string body = {}) {
    const std::string answer = answerText(status, code, std::move(body));  // named: see GCC 12 and co_await
    co_await sendAndClose(c, answer);
  }
  template <typename Stream>
  awaitable<void> sendAndClose(Connection<Stream>& c, const std::string& answer) {
    tcpOf(c.stream).expires_after(config.headerTimeout);
    co_await sendNow(c.stream, answer);
    c.close();
  }

  // The registry's store cannot be reached: as when the node is full.
  template <typename Stream>
  awaitable<void> unavailable(Connection<Stream>& c) {
    co_await respond(c, http::status::service_unavailable, "capacity"sv);
  }

  template <typename Stream>
  awaitable<bool> switchProtocols(Connection<Stream>& c) {
    tcpOf(c.stream).expires_after(config.headerTimeout);
    const boost::system::error_code ec = co_await sendNow(c.stream, kSwitching);
    tcpOf(c.stream).expires_never();
    co_return !ec;
  }
  // Sends a short message at once where the socket takes it whole, as a fresh connection's does, and waits
  // only for what it does not take. The steps of a join are short messages, and in a burst the completion
  // of each asynchronous write waits its turn behind every handler queued on the setup thread. A TLS
  // stream's records always go through the stream.
  template <typename Stream>
  static awaitable<boost::system::error_code> sendNow(Stream& stream, std::string_view bytes) {
    std::size_t sent = 0;
    if constexpr (std::is_same_v<Stream, PlainStream>) {
      const ssize_t n = ::send(stream.socket().native_handle(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        co_return boost::system::error_code(errno, boost::system::system_category());
      sent = n > 0 ? static_cast<std::size_t>(n) : 0;
      if (sent == bytes.size()) co_return boost::system::error_code();
    }
    auto [ec, written] = co_await net::async_write(stream, net::buffer(bytes.substr(sent)), tuple);
    co_return ec;
  }

  // A host's control connection, /v1/host (control_lines.cc).
  template <typename Stream>
  awaitable<void> hostControl(std::shared_ptr<Connection<Stream>> c, std::string id, std::string secret);

  // ------------------------------------------------------------------------- connect and accept (endpoints.cc)

  // A viewer waiting for its host, on the setup thread. The host side that arrives for it is a host's
  // accept on this node or an internal connection from the node where the host accepted.
  struct Waiting final : PendingConnect {
    net::steady_timer wake;
    std::shared_ptr<Connection<PlainStream>> plainHost;
    std::shared_ptr<Connection<TlsStream>> tlsHost;
    explicit Waiting(net::any_io_executor e) : wake(e) {}
    bool joined() const { return plainHost || tlsHost; }
    void join(std::shared_ptr<Connection<PlainStream>> c) { plainHost = std::move(c), wake.cancel(); }
    void join(std::shared_ptr<Connection<TlsStream>> c) { tlsHost = std::move(c), wake.cancel(); }
    void closeHost() {
      if (plainHost) plainHost->close();
      if (tlsHost) tlsHost->close();
    }
  };

  template <typename Stream>
  awaitable<void> connect(std::shared_ptr<Connection<Stream>> viewer, std::string id);
  template <typename Stream>
  awaitable<void> accept(std::shared_ptr<Connection<Stream>> host, std::string token);

  // --------------------------------------------------------------------------- cluster (internal_listener.cc)

  // Loads the cluster key, binds the internal listener at the advertised address and starts accepting on it.
  // Throws as RelayServer::start does.
  void listenInternal();

  // The viewer of `token` waits on the node at `node`: an internal connection to it carries the host's bytes.
  template <typename Stream>
  awaitable<void> acceptElsewhere(std::shared_ptr<Connection<Stream>> host, std::string token, std::string node);
  // The first line of an internal connection (at most 256 bytes, empty when there is none); what follows
  // it stays in the connection's buffer for the splice.
  static awaitable<std::string> readLine(Connection<PlainStream>& c);
  // The internal listener holds at most maxInternalSetups connections that have not proven the cluster key
  // (for at most kInternalLineTimeout each); beyond that it stops accepting until one ends. A proven one is
  // joined to a viewer waiting here, so there are no more of those than waiting viewers.
  void acceptedInternal(tcp::socket socket, net::ip::address address);
  // Another node's host accepted a viewer that waits here. Without the cluster key: closed at once.
  // `setup` holds the connection's place among the unproven until its line has been checked.
  awaitable<void> serveInternal(std::shared_ptr<Connection<PlainStream>> c, std::shared_ptr<void> setup);

  // -------------------------------------------------------------------------------------------------- splicing

  // Joins two connections after their 101s. Plain pairs move to a copying thread; a pair with a TLS side
  // stays here, where its TLS state lives.
  template <typename A, typename B>
  void splice(std::shared_ptr<Connection<A>> a, std::shared_ptr<Connection<B>> b) {
    constexpr bool plain = std::is_same_v<A, PlainStream> && std::is_same_v<B, PlainStream>;
    net::any_io_executor ex = plain ? copier() : net::any_io_executor(io.get_executor());
    auto idle = std::chrono::duration_cast<std::chrono::steady_clock::duration>(config.spliceIdleTimeout);
    net::post(ex, [ex, a, b, ha = takeOver(*a), hb = takeOver(*b), idle]() mutable {
      runSplice(ex, std::make_shared<EndOf<A>>(a, ex, std::move(ha)), std::make_shared<EndOf<B>>(b, ex, std::move(hb)),
                idle);
    });
  }
};

}  // namespace pellora::relay
