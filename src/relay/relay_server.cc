#include "relay/relay_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/json.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <deque>
#include <future>
#include <iostream>

#include "relay/address_range.h"
#include "relay/admission.h"
#include "relay/cluster_link.h"
#include "relay/splice.h"

namespace pellora::relay {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using net::awaitable;
using net::use_awaitable;
using tcp = net::ip::tcp;
using namespace std::string_view_literals;  // GCC 12 mishandles string-literal arrays inside co_await calls
constexpr auto tuple = net::as_tuple(use_awaitable);

namespace {

constexpr std::size_t kHeadLimit = 16 * 1024;   // request heads, and control lines
constexpr std::size_t kControlOutbox = 4096;      // lines queued to a host that does not read (~0.5 MB)
// Copying threads yield the CPU to the setup and registry threads: a burst of new splices (hosts
// reconnecting after a restart) would otherwise wait behind the bytes of the splices already joined.
constexpr int kCopierNiceness = 10;
constexpr auto kInternalLineTimeout = std::chrono::seconds(2);  // another node sends its line at once
constexpr const char* kUpgradeToken = "pellora-relay/1";
constexpr std::string_view kSwitching =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: pellora-relay/1\r\n\r\n";

std::string errorBody(std::string_view code) {
  return boost::json::serialize(boost::json::object{{"error", code}});
}

std::string registrationBody(const Registration& r) {
  return boost::json::serialize(boost::json::object{{"id", r.id}, {"secret", r.secret}});
}

}  // namespace

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
  bool registryDown = false;  // on the registry thread: reported once per outage

  Admission admission{config};  // connection slots and request rates

  Impl(net::io_context& i, RelayConfig c, RelayRegistry& r) : io(i), config(std::move(c)), registry(r) {}

  template <typename Stream>
  bool allow(Admission::Endpoint endpoint, const Connection<Stream>& c, std::string_view identity = {}) {
    return admission.allow(endpoint, c.address, identity);
  }

  net::any_io_executor copier() {
    return copiers[nextCopier.fetch_add(1, std::memory_order_relaxed) % copiers.size()];
  }

  // Runs `f` on the registry thread; nullopt when the registry's store cannot be reached.
  template <typename F>
  awaitable<std::optional<std::invoke_result_t<F&>>> registryCall(F f) {
    using R = std::invoke_result_t<F&>;
    auto run = [this, f = std::move(f)]() mutable -> awaitable<std::optional<R>> {
      std::optional<R> result;
      try {
        result.emplace(f());
      } catch (const RegistryUnavailable& e) {
        if (!std::exchange(registryDown, true))
          std::cerr << "pellora-relay: registry unreachable (" << e.what()
                    << "); registrations and connects get 503 until it is back" << std::endl;
        co_return std::nullopt;
      }
      if (std::exchange(registryDown, false)) std::cerr << "pellora-relay: registry reachable again" << std::endl;
      co_return result;
    };
    co_return co_await net::co_spawn(registryExecutor, std::move(run), use_awaitable);
  }

  // ---------------------------------------------------------------------------------------------- accept

  // Hands every connection `from` accepts to `take(socket, peer address)` until the server stops. While
  // `full()`, it waits for `slot` to be cancelled before accepting more (the kernel queues them meanwhile).
  template <typename Take, typename Full = bool (*)()>
  awaitable<void> acceptLoop(tcp::acceptor& from, Take take, Full full = [] { return false; },
                             net::steady_timer* slot = nullptr) {
    auto self = shared_from_this();
    while (!stopping) {
      while (slot && full() && !stopping) {
        slot->expires_at(net::steady_timer::time_point::max());
        co_await slot->async_wait(tuple);
      }
      if (stopping) break;
      auto [ec, socket] = co_await from.async_accept(tuple);
      if (ec) {
        if (stopping || ec == net::error::operation_aborted) break;
        continue;  // e.g. too many open files: keep serving the connections we have
      }
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      const net::ip::address address = unmapped(socket.remote_endpoint(ignored).address());
      take(std::move(socket), address);
    }
  }

  void accepted(tcp::socket socket, net::ip::address address) {
    if (anyContains(config.trustedProxies, address)) net::co_spawn(io, proxied(std::move(socket), address), net::detached);
    else start(std::move(socket), address);
  }

  // Takes a slot for the connection (or refuses it) and serves it.
  void start(tcp::socket socket, net::ip::address address) {
    auto id = admission.admitClient(address, socket.native_handle());
    if (!id) {
      net::co_spawn(io, refuse(std::make_shared<PlainStream>(std::move(socket))), net::detached);
    } else if (tls) {
      auto c = std::make_shared<Connection<TlsStream>>(std::move(socket), *tls);
      track(*c, *id, address);
      net::co_spawn(io, serveTls(c), net::detached);
    } else {
      auto c = std::make_shared<Connection<PlainStream>>(std::move(socket));
      track(*c, *id, address);
      net::co_spawn(io, serve(c), net::detached);
    }
  }

  // From a trusted load balancer, which sends a PROXY protocol (v1) line first: the client's address is the
  // one in that line. Read a byte at a time, so that nothing of the stream behind it (a TLS handshake) is taken.
  awaitable<void> proxied(tcp::socket socket, net::ip::address balancer) {
    PlainStream stream(std::move(socket));
    stream.expires_after(config.headerTimeout);
    std::string line;
    char ch = 0;
    while (line.size() < 108 && !line.ends_with("\r\n")) {
      auto [ec, n] = co_await net::async_read(stream, net::buffer(&ch, 1), tuple);
      if (ec) co_return closeSocket(stream.socket());
      line.push_back(ch);
    }
    stream.expires_never();
    const ProxyLine proxy = parseProxyLine(line);
    if (!proxy.valid) co_return closeSocket(stream.socket());
    start(stream.release_socket(), proxy.source ? unmapped(*proxy.source) : balancer);
  }

  // Every few seconds the registry refreshes what it keeps alive in its store.
  awaitable<void> tickLoop() {
    auto self = shared_from_this();
    while (!stopping) {
      ticker.expires_after(std::chrono::seconds(5));
      auto [ec] = co_await ticker.async_wait(tuple);
      if (ec || stopping) break;
      auto refresh = [this] {
        registry.tick();
        return true;
      };
      co_await registryCall(std::move(refresh));
    }
  }

  template <typename Stream>
  void track(Connection<Stream>& c, std::uint64_t id, net::ip::address address = {}) {
    c.address = address;
    std::weak_ptr<Impl> weak = shared_from_this();
    c.release = [weak, id] {
      if (auto self = weak.lock()) self->admission.leave(id);
    };
  }

  // An address beyond its share of connections: 503 at once, without waiting for its request (TLS
  // listeners just close). The refusal lingers briefly so that the answer is read before the socket goes;
  // beyond kLingering refusals at once (a flood), sockets are closed without an answer.
  static constexpr int kLingering = 256;
  int lingering = 0;  // on the setup thread
  awaitable<void> refuse(std::shared_ptr<PlainStream> s) {
    if (!tls && lingering < kLingering) {
      ++lingering;
      http::response<http::string_body> res{http::status::service_unavailable, 11};
      res.set(http::field::server, "pellora-relay");
      res.set(http::field::content_type, "application/json");
      res.set(http::field::connection, "close");
      res.body() = errorBody("capacity");
      res.prepare_payload();
      s->expires_after(std::chrono::seconds(2));
      auto [ec, n] = co_await http::async_write(*s, res, tuple);
      boost::system::error_code ignored;
      s->socket().shutdown(tcp::socket::shutdown_send, ignored);
      char sink[512];
      while (!ec) std::tie(ec, n) = co_await s->async_read_some(net::buffer(sink), tuple);
      --lingering;
    }
    closeSocket(s->socket());
  }

  awaitable<void> serveTls(std::shared_ptr<Connection<TlsStream>> c) {
    tcpOf(c->stream).expires_after(config.headerTimeout);
    auto [ec] = co_await c->stream.async_handshake(net::ssl::stream_base::server, tuple);
    if (ec) {
      c->close();
      co_return;
    }
    co_await serve(c);
  }

  // ---------------------------------------------------------------------------------------------- requests

  template <typename Stream>
  awaitable<void> serve(std::shared_ptr<Connection<Stream>> c) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kHeadLimit);
    parser.body_limit(1024);
    tcpOf(c->stream).expires_after(config.headerTimeout);
    auto [ec, n] = co_await http::async_read(c->stream, c->buffer, parser, tuple);
    if (ec) {
      // A head that is malformed or too large gets an answer; a slow or vanished client does not, and
      // neither does one that claims another address in a PROXY line (only trusted balancers may).
      if (beast::buffers_to_string(c->buffer.data()).starts_with("PROXY ")) co_return c->close();
      if (ec == http::error::header_limit) co_await respond(*c, http::status::request_header_fields_too_large, "too-large"sv);
      else if (ec.category() == make_error_code(http::error::bad_target).category()) co_await respond(*c, http::status::bad_request, "bad-request"sv);
      c->close();
      co_return;
    }
    tcpOf(c->stream).expires_never();
    const auto& req = parser.get();
    const std::string_view target(req.target().data(), req.target().size());

    if (admission.clientConnections() > config.maxConnections) co_return co_await respond(*c, http::status::service_unavailable, "capacity"sv);

    if (target == "/v1/health") {
      if (req.method() != http::verb::get && req.method() != http::verb::head)
        co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
      auto probe = [this] { return registry.reachable(); };
      auto reachable = co_await registryCall(std::move(probe));
      if (reachable.value_or(false))
        co_return co_await respond(*c, http::status::ok, {}, std::string(R"({"status":"ok","registry":"reachable"})"));
      co_return co_await respond(*c, http::status::service_unavailable, {},
                                 std::string(R"({"error":"registry","registry":"unreachable"})"));
    }
    // Registration lives under the operator's base path; the upgrade paths are absolute.
    if (target.ends_with("/v1/register")) {
      if (req.method() != http::verb::post) co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
      if (!allow(Admission::Endpoint::registration, *c)) co_return co_await respond(*c, http::status::too_many_requests, "rate-limit"sv);
      auto draw = [this] { return registry.registerIdentity(); };
      auto registration = co_await registryCall(std::move(draw));
      if (!registration) co_return co_await unavailable(*c);
      std::string body = registrationBody(*registration);
      co_return co_await respond(*c, http::status::ok, {}, std::move(body));
    }
    const bool upgradePath = target == "/v1/host" || target == "/v1/connect" || target == "/v1/accept";
    if (!upgradePath) co_return co_await respond(*c, http::status::not_found, "not-found"sv);
    if (req.method() != http::verb::get) co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
    if (!beast::iequals(req[http::field::upgrade], kUpgradeToken))
      co_return co_await respond(*c, http::status::upgrade_required, "upgrade"sv);

    auto header = [&req](std::string_view name) { return std::string(req[name]); };
    if (target == "/v1/host") co_return co_await hostControl(c, header("X-Pellora-Id"sv), header("X-Pellora-Secret"sv));
    if (target == "/v1/connect") co_return co_await connect(c, header("X-Pellora-Id"sv));
    co_return co_await accept(c, header("X-Pellora-Token"sv));
  }

  // Answers and closes. Error answers carry {"error": code}.
  template <typename Stream>
  awaitable<void> respond(Connection<Stream>& c, http::status status, std::string_view code,
                          std::string body = {}) {
    http::response<http::string_body> res{status, 11};
    res.set(http::field::server, "pellora-relay");
    res.set(http::field::content_type, "application/json");
    res.set(http::field::connection, "close");
    res.body() = code.empty() ? std::move(body) : errorBody(code);
    res.prepare_payload();
    tcpOf(c.stream).expires_after(config.headerTimeout);
    co_await http::async_write(c.stream, res, tuple);
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
    auto [ec, n] = co_await net::async_write(c.stream, net::buffer(kSwitching), tuple);
    tcpOf(c.stream).expires_never();
    co_return !ec;
  }

  // ---------------------------------------------------------------------------------------------- host control

  // A host's control connection. The registry tells it things on its own thread; lines are queued and
  // written on the connection's executor.
  template <typename Stream>
  struct Control final : HostLink, std::enable_shared_from_this<Control<Stream>> {
    std::shared_ptr<Connection<Stream>> c;
    std::deque<std::string> outbox;
    bool ready = false;  // lines wait until the 101 has been written
    bool writing = false, closeAfterFlush = false, closed = false;

    explicit Control(std::shared_ptr<Connection<Stream>> conn) : c(std::move(conn)) {}
    void incoming(const std::string& token) override {
      post(boost::json::serialize(boost::json::object{{"t", "incoming"}, {"token", token}}) + "\n", false);
    }
    void replaced() override { post("{\"t\":\"replaced\"}\n", true); }

    void post(std::string line, bool thenClose) {
      net::post(c->stream.get_executor(), [self = this->shared_from_this(), line = std::move(line), thenClose]() mutable {
        self->send(std::move(line), thenClose);
      });
    }
    void send(std::string line, bool thenClose = false) {
      if (closed) return;
      if (outbox.size() >= kControlOutbox) return close();  // the host stopped reading
      outbox.push_back(std::move(line));
      closeAfterFlush |= thenClose;
      if (ready) start();
    }
    void start() {
      ready = true;
      if (!writing && !outbox.empty()) {
        writing = true;
        net::co_spawn(c->stream.get_executor(), flush(this->shared_from_this()), net::detached);
      }
    }
    static awaitable<void> flush(std::shared_ptr<Control> self) {
      while (!self->outbox.empty() && !self->closed) {
        auto [ec, n] = co_await net::async_write(self->c->stream, net::buffer(self->outbox.front()), tuple);
        if (ec) break;
        self->outbox.pop_front();
      }
      self->writing = false;
      if (self->closeAfterFlush || !self->outbox.empty()) self->close();
    }
    void close() {
      closed = true;
      c->close();
    }
  };

  template <typename Stream>
  awaitable<void> hostControl(std::shared_ptr<Connection<Stream>> c, std::string id, std::string secret) {
    if (id.empty()) co_return co_await respond(*c, http::status::unauthorized, "auth"sv);
    if (!allow(Admission::Endpoint::hostControl, *c, id))
      co_return co_await respond(*c, http::status::too_many_requests, "rate-limit"sv);
    auto check = [this, id, secret] { return registry.authenticate(id, secret); };
    auto authentic = co_await registryCall(std::move(check));
    if (!authentic) co_return co_await unavailable(*c);
    if (!*authentic) co_return co_await respond(*c, http::status::unauthorized, "auth"sv);
    auto control = std::make_shared<Control<Stream>>(c);
    auto attach = [this, id, control] {
      registry.attachHost(id, control);
      return true;
    };
    if (!co_await registryCall(std::move(attach))) co_return co_await unavailable(*c);
    if (!co_await switchProtocols(*c)) {
      control->close();
    } else {
      control->start();
      std::string lines = c->leftover();
      for (;;) {
        tcpOf(c->stream).expires_after(config.controlIdleTimeout);
        auto [ec, n] = co_await net::async_read_until(c->stream, net::dynamic_buffer(lines, kHeadLimit), '\n', tuple);
        if (ec) break;  // closed, idle too long, or a line beyond the limit
        std::string_view line(lines.data(), n);
        boost::system::error_code parseError;
        boost::json::value v = boost::json::parse(line, parseError);
        if (!parseError && v.is_object()) {
          const auto* t = v.as_object().if_contains("t");
          if (t && t->is_string() && t->as_string() == "ping") control->send("{\"t\":\"pong\"}\n");
        }
        lines.erase(0, n);
      }
    }
    auto detach = [this, id, control] {
      registry.detachHost(id, control.get());
      return true;
    };
    co_await registryCall(std::move(detach));  // when the store is away, the presence entry expires by itself
    control->close();
  }

  // ---------------------------------------------------------------------------------------------- connect and accept

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
  awaitable<void> connect(std::shared_ptr<Connection<Stream>> viewer, std::string id) {
    if (!allow(Admission::Endpoint::connect, *viewer, id))
      co_return co_await respond(*viewer, http::status::too_many_requests, "rate-limit"sv);
    auto waiting = std::make_shared<Waiting>(viewer->stream.get_executor());
    // The wait starts before the host hears of it: its accept may come back before the call below returns.
    waiting->wake.expires_after(config.acceptTimeout);
    const auto expiry = std::chrono::steady_clock::now() + config.acceptTimeout;
    auto announce = [this, waiting, expiry, id]() -> std::string {
      std::string token = registry.addPending(waiting, expiry);
      if (registry.notifyHost(id, token)) return token;
      registry.takeLocalPending(token);
      return {};
    };
    auto token = co_await registryCall(std::move(announce));
    if (!token) co_return co_await unavailable(*viewer);
    if (token->empty()) co_return co_await respond(*viewer, http::status::not_found, "offline"sv);
    if (!waiting->joined()) co_await waiting->wake.async_wait(tuple);
    if (!waiting->joined()) {
      auto forget = [this, t = *token] { return registry.takeLocalPending(t) != nullptr; };
      co_await registryCall(std::move(forget));
      if (!waiting->joined()) co_return co_await respond(*viewer, http::status::gateway_timeout, "timeout"sv);
    }
    if (!co_await switchProtocols(*viewer)) {
      waiting->closeHost();
      co_return viewer->close();
    }
    if (waiting->plainHost) splice(viewer, waiting->plainHost);
    else splice(viewer, waiting->tlsHost);
  }

  template <typename Stream>
  awaitable<void> accept(std::shared_ptr<Connection<Stream>> host, std::string token) {
    if (!allow(Admission::Endpoint::accept, *host))
      co_return co_await respond(*host, http::status::too_many_requests, "rate-limit"sv);
    auto take = [this, token] { return registry.takePending(token); };
    auto lookup = co_await registryCall(std::move(take));
    if (!lookup) co_return co_await unavailable(*host);
    auto waiting = std::dynamic_pointer_cast<Waiting>(lookup->local);
    if (!waiting && !lookup->node.empty() && config.cluster()) co_return co_await acceptElsewhere(host, token, lookup->node);
    if (!waiting) co_return co_await respond(*host, http::status::not_found, "token"sv);
    if (!co_await switchProtocols(*host)) co_return host->close();
    waiting->join(std::move(host));  // the viewer's coroutine takes over from here
  }

  // ---------------------------------------------------------------------------------------------- cluster

  // The viewer of `token` waits on the node at `node`: an internal connection to it carries the host's bytes.
  template <typename Stream>
  awaitable<void> acceptElsewhere(std::shared_ptr<Connection<Stream>> host, std::string token, std::string node) {
    const std::optional<tcp::endpoint> there = ClusterLink::nodeEndpoint(node);
    if (!there) co_return co_await respond(*host, http::status::not_found, "token"sv);
    auto peer = std::make_shared<Connection<PlainStream>>(io);
    peer->stream.expires_after(config.headerTimeout);
    auto [cec] = co_await peer->stream.async_connect(*there, tuple);
    const std::string greeting = cluster->greeting(token);
    if (!cec) std::tie(cec, std::ignore) = co_await net::async_write(peer->stream, net::buffer(greeting), tuple);
    std::string answer;
    if (!cec) answer = co_await readLine(*peer);
    peer->stream.expires_never();
    if (answer != "OK\n") {
      peer->close();
      co_return co_await respond(*host, http::status::not_found, "token"sv);
    }
    track(*peer, admission.bookInternal(peer->stream.socket().native_handle()));
    if (!co_await switchProtocols(*host)) {
      peer->close();
      co_return host->close();
    }
    splice(host, peer);
  }

  // The first line of an internal connection (at most 256 bytes, empty when there is none); what follows
  // it stays in the connection's buffer for the splice.
  static awaitable<std::string> readLine(Connection<PlainStream>& c) {
    std::string text;
    auto [ec, n] = co_await net::async_read_until(c.stream, net::dynamic_buffer(text, 256), '\n', tuple);
    if (ec) co_return std::string();
    const std::string rest = text.substr(n);
    c.buffer.commit(net::buffer_copy(c.buffer.prepare(rest.size()), net::buffer(rest)));
    text.resize(n);
    co_return text;
  }

  // The internal listener holds at most maxInternalSetups connections that have not proven the cluster key
  // (for at most kInternalLineTimeout each); beyond that it stops accepting until one ends. A proven one is
  // joined to a viewer waiting here, so there are no more of those than waiting viewers.
  void acceptedInternal(tcp::socket socket, net::ip::address address) {
    if (!config.clusterPeers.empty() && !anyContains(config.clusterPeers, address)) return closeSocket(socket);
    auto c = std::make_shared<Connection<PlainStream>>(std::move(socket));
    track(*c, admission.bookInternal(c->stream.socket().native_handle()));
    ++internalSetups;
    auto self = shared_from_this();
    net::co_spawn(io, serveInternal(c), [self](std::exception_ptr) {
      --self->internalSetups;
      self->internalSlot.cancel();
    });
  }

  // Another node's host accepted a viewer that waits here. Without the cluster key: closed at once.
  awaitable<void> serveInternal(std::shared_ptr<Connection<PlainStream>> c) {
    c->stream.expires_after(kInternalLineTimeout);
    const std::string line = co_await readLine(*c);
    const std::optional<std::string> token = cluster->provenToken(line);
    if (!token) co_return c->close();
    auto take = [this, t = *token] { return registry.takeLocalPending(t); };
    auto pending = co_await registryCall(std::move(take));
    auto waiting = std::dynamic_pointer_cast<Waiting>(pending.value_or(nullptr));
    const std::string answer = waiting ? "OK\n" : "GONE\n";
    auto [wec, wn] = co_await net::async_write(c->stream, net::buffer(answer), tuple);
    c->stream.expires_never();
    if (wec || !waiting) co_return c->close();
    waiting->join(std::move(c));
  }

  // ---------------------------------------------------------------------------------------------- splicing

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

RelayServer::RelayServer(net::io_context& io, RelayConfig config, RelayRegistry& registry)
    : impl_(std::make_shared<Impl>(io, std::move(config), registry)) {}

RelayServer::~RelayServer() {
  shutdown();
  if (registryIo_) {
    // Lets the registry finish what is queued (a withdrawal on the way out), for a bounded time.
    auto drained = std::make_shared<std::promise<void>>();
    auto done = drained->get_future();
    net::post(*registryIo_, [drained] { drained->set_value(); });
    done.wait_for(std::chrono::seconds(5));
    registryIo_->stop();
  }
  for (auto& c : copiers_) c->stop();
  for (auto& t : threads_) t.join();
  copiers_.clear();
  registryIo_.reset();
}

void RelayServer::start() {
  Impl& d = *impl_;
  if (d.config.tls()) {
    d.tls.emplace(net::ssl::context::tls_server);
    d.tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                       net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1);
    boost::system::error_code ec;
    d.tls->use_certificate_chain_file(d.config.tlsCertificate.string(), ec);
    if (!ec) d.tls->use_private_key_file(d.config.tlsKey.string(), net::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("pellora-relay: TLS certificate or key: " + ec.message());
  }
  tcp::endpoint endpoint(net::ip::make_address(d.config.listenHost), d.config.listenPort);
  d.acceptor.open(endpoint.protocol());
  d.acceptor.set_option(tcp::acceptor::reuse_address(true));
  d.acceptor.bind(endpoint);
  d.acceptor.listen(net::socket_base::max_listen_connections);

  // Threads that run forever until the destructor stops them.
  auto spawnThread = [this](net::io_context& context, int niceness = 0) {
    threads_.emplace_back([&context, niceness] {
      if (niceness) {
        const auto self = static_cast<id_t>(::gettid());  // a thread's own nice value on Linux
        errno = 0;
        const int base = ::getpriority(PRIO_PROCESS, self);
        if (errno == 0) ::setpriority(PRIO_PROCESS, self, base + niceness);
      }
      auto guard = net::make_work_guard(context);
      context.run();
    });
  };
  registryIo_ = std::make_unique<net::io_context>(1);
  d.registryExecutor = registryIo_->get_executor();
  const unsigned copying = d.config.threads ? d.config.threads : std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < copying; ++i) {
    copiers_.push_back(std::make_unique<net::io_context>(1));
    d.copiers.push_back(copiers_.back()->get_executor());
  }
  if (d.config.cluster()) {
    d.cluster = ClusterLink::fromKeyFile(d.config.clusterKeyFile);
    tcp::endpoint there(net::ip::make_address(d.config.advertiseHost), d.config.advertisePort);
    d.internal.open(there.protocol());
    d.internal.set_option(tcp::acceptor::reuse_address(true));
    d.internal.bind(there);
    d.internal.listen(net::socket_base::max_listen_connections);
  }
  spawnThread(*registryIo_);
  for (auto& c : copiers_) spawnThread(*c, kCopierNiceness);
  auto publicSide = [&d](tcp::socket s, net::ip::address address) { d.accepted(std::move(s), address); };
  net::co_spawn(d.io, d.acceptLoop(d.acceptor, publicSide), net::detached);
  net::co_spawn(d.io, d.tickLoop(), net::detached);
  auto internalSide = [&d](tcp::socket s, net::ip::address address) { d.acceptedInternal(std::move(s), address); };
  auto internalFull = [&d] { return d.internalSetups >= d.config.maxInternalSetups; };
  if (d.config.cluster())
    net::co_spawn(d.io, d.acceptLoop(d.internal, internalSide, internalFull, &d.internalSlot), net::detached);
}

tcp::endpoint RelayServer::localEndpoint() const { return impl_->acceptor.local_endpoint(); }

tcp::endpoint RelayServer::internalEndpoint() const { return impl_->internal.local_endpoint(); }

void RelayServer::shutdown() {
  Impl& d = *impl_;
  if (d.stopping.exchange(true)) return;
  boost::system::error_code ignored;
  d.acceptor.close(ignored);
  d.internal.close(ignored);
  d.ticker.cancel();
  d.internalSlot.cancel();
  if (d.registryExecutor) {
    net::post(d.registryExecutor, [&registry = d.registry] {
      try {
        registry.withdraw();
      } catch (const RegistryUnavailable&) {  // the entries expire by themselves
      }
    });
  }
  // Shutting sockets down (from whatever thread holds them) ends every coroutine that waits on them; each
  // then closes its own socket.
  d.admission.shutdownAll();
}

std::size_t RelayServer::openConnections() const { return impl_->admission.openConnections(); }

}  // namespace pellora::relay
