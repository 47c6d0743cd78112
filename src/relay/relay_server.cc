#include "relay/relay_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/json.hpp>
#include <deque>
#include <unordered_map>

#include "relay/rate_limiter.h"

namespace pellora::relay {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using net::awaitable;
using net::use_awaitable;
using tcp = net::ip::tcp;
using namespace std::string_view_literals;  // GCC 12 mishandles string-literal arrays inside co_await calls
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
constexpr auto tuple = net::as_tuple(use_awaitable);

namespace {

constexpr std::size_t kHeadLimit = 16 * 1024;   // request heads, and control lines
constexpr std::size_t kSpliceBuffer = 64 * 1024;  // per direction: what one relayed stream may hold in memory
constexpr std::size_t kControlOutbox = 4096;      // lines queued to a host that does not read (~0.5 MB)
constexpr const char* kUpgradeToken = "pellora-relay/1";
constexpr std::string_view kSwitching =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: pellora-relay/1\r\n\r\n";

tcp::socket& socketOf(PlainStream& s) { return s.socket(); }
tcp::socket& socketOf(TlsStream& s) { return s.next_layer().socket(); }
PlainStream& tcpOf(PlainStream& s) { return s; }
PlainStream& tcpOf(TlsStream& s) { return s.next_layer(); }

void closeSocket(tcp::socket& s) {
  boost::system::error_code ignored;
  s.shutdown(tcp::socket::shutdown_both, ignored);
  s.close(ignored);
}

// One accepted connection. Shared by whoever still uses the stream (its request handler, a splice).
template <typename Stream>
struct Connection {
  Stream stream;
  std::string address;
  beast::flat_buffer buffer;  // bytes read past the request head belong to the relayed stream
  std::function<void()> release;

  template <typename... Args>
  explicit Connection(Args&&... args) : stream(std::forward<Args>(args)...) {}
  ~Connection() {
    if (release) release();
  }
  void close() { closeSocket(socketOf(stream)); }
  std::string leftover() const { return beast::buffers_to_string(buffer.data()); }
};

std::string errorBody(std::string_view code) {
  return boost::json::serialize(boost::json::object{{"error", code}});
}

std::string registrationBody(const Registration& r) {
  return boost::json::serialize(boost::json::object{{"id", r.id}, {"secret", r.secret}});
}

}  // namespace

struct RelayServer::Impl : std::enable_shared_from_this<Impl> {
  net::io_context& io;
  RelayConfig config;
  RelayRegistry& registry;
  tcp::acceptor acceptor{io};
  std::optional<net::ssl::context> tls;
  RateLimiter registerLimit, connectLimit;
  std::uint64_t nextConnection = 0;
  std::unordered_map<std::uint64_t, std::function<void()>> open;  // closers of every open connection
  bool stopping = false;

  Impl(net::io_context& i, RelayConfig c, RelayRegistry& r)
      : io(i),
        config(std::move(c)),
        registry(r),
        registerLimit(config.registrationsPerMinute),
        connectLimit(config.connectsPerMinute) {}

  // ---------------------------------------------------------------------------------------------- accept

  awaitable<void> acceptLoop() {
    auto self = shared_from_this();
    while (!stopping) {
      auto [ec, socket] = co_await acceptor.async_accept(tuple);
      if (ec) {
        if (stopping || ec == net::error::operation_aborted) break;
        continue;  // e.g. too many open files: keep serving the connections we have
      }
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      auto endpoint = socket.remote_endpoint(ignored);
      std::string address = endpoint.address().to_string();
      if (tls) {
        auto c = std::make_shared<Connection<TlsStream>>(std::move(socket), *tls);
        track(*c, std::move(address));
        net::co_spawn(io, serveTls(c), net::detached);
      } else {
        auto c = std::make_shared<Connection<PlainStream>>(std::move(socket));
        track(*c, std::move(address));
        net::co_spawn(io, serve(c), net::detached);
      }
    }
  }

  template <typename Stream>
  void track(Connection<Stream>& c, std::string address) {
    c.address = std::move(address);
    const std::uint64_t id = nextConnection++;
    open[id] = [&c] { c.close(); };
    std::weak_ptr<Impl> weak = shared_from_this();
    c.release = [weak, id] {
      if (auto self = weak.lock()) self->open.erase(id);
    };
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
      // A head that is malformed or too large gets an answer; a slow or vanished client does not.
      if (ec == http::error::header_limit) co_await respond(*c, http::status::request_header_fields_too_large, "too-large"sv);
      else if (ec.category() == make_error_code(http::error::bad_target).category()) co_await respond(*c, http::status::bad_request, "bad-request"sv);
      c->close();
      co_return;
    }
    tcpOf(c->stream).expires_never();
    const auto& req = parser.get();
    const std::string_view target(req.target().data(), req.target().size());

    if (open.size() > config.maxConnections) co_return co_await respond(*c, http::status::service_unavailable, "capacity"sv);

    if (target == "/v1/health") {
      if (req.method() != http::verb::get && req.method() != http::verb::head)
        co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
      co_return co_await respond(*c, http::status::ok, {}, std::string(R"({"status":"ok"})"));
    }
    // Registration lives under the operator's base path; the upgrade paths are absolute.
    if (target.ends_with("/v1/register")) {
      if (req.method() != http::verb::post) co_return co_await respond(*c, http::status::method_not_allowed, "method"sv);
      if (!registerLimit.allow(c->address)) co_return co_await respond(*c, http::status::too_many_requests, "rate-limit"sv);
      std::string body = registrationBody(registry.registerIdentity());
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

  template <typename Stream>
  awaitable<bool> switchProtocols(Connection<Stream>& c) {
    tcpOf(c.stream).expires_after(config.headerTimeout);
    auto [ec, n] = co_await net::async_write(c.stream, net::buffer(kSwitching), tuple);
    tcpOf(c.stream).expires_never();
    co_return !ec;
  }

  // ---------------------------------------------------------------------------------------------- host control

  template <typename Stream>
  struct Control final : HostLink, std::enable_shared_from_this<Control<Stream>> {
    std::shared_ptr<Connection<Stream>> c;
    std::deque<std::string> outbox;
    bool writing = false, closeAfterFlush = false, closed = false;

    explicit Control(std::shared_ptr<Connection<Stream>> conn) : c(std::move(conn)) {}
    void incoming(const std::string& token) override {
      send(boost::json::serialize(boost::json::object{{"t", "incoming"}, {"token", token}}) + "\n");
    }
    void replaced() override { send("{\"t\":\"replaced\"}\n", true); }

    void send(std::string line, bool thenClose = false) {
      if (closed) return;
      if (outbox.size() >= kControlOutbox) return close();  // the host stopped reading
      outbox.push_back(std::move(line));
      closeAfterFlush |= thenClose;
      if (!writing) {
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
    if (id.empty() || !registry.authenticate(id, secret))
      co_return co_await respond(*c, http::status::unauthorized, "auth"sv);
    if (!co_await switchProtocols(*c)) co_return c->close();

    auto control = std::make_shared<Control<Stream>>(c);
    registry.attachHost(id, control);
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
    registry.detachHost(id, control.get());
    control->close();
  }

  // ---------------------------------------------------------------------------------------------- connect and accept

  template <typename Stream>
  struct Waiting final : PendingConnect {
    net::steady_timer wake;
    std::shared_ptr<Connection<Stream>> host;
    explicit Waiting(net::any_io_executor e) : wake(e) {}
  };

  template <typename Stream>
  awaitable<void> connect(std::shared_ptr<Connection<Stream>> viewer, std::string id) {
    if (!connectLimit.allow(viewer->address))
      co_return co_await respond(*viewer, http::status::too_many_requests, "rate-limit"sv);
    std::shared_ptr<HostLink> link = registry.host(id);
    if (!link) co_return co_await respond(*viewer, http::status::not_found, "offline"sv);

    auto waiting = std::make_shared<Waiting<Stream>>(viewer->stream.get_executor());
    const std::string token = registry.addPending(waiting, std::chrono::steady_clock::now() + config.acceptTimeout);
    link->incoming(token);
    waiting->wake.expires_after(config.acceptTimeout);
    co_await waiting->wake.async_wait(tuple);
    if (!waiting->host) {
      registry.takePending(token);
      co_return co_await respond(*viewer, http::status::gateway_timeout, "timeout"sv);
    }
    if (!co_await switchProtocols(*viewer)) {
      waiting->host->close();
      co_return viewer->close();
    }
    co_await splice(viewer, waiting->host);
  }

  template <typename Stream>
  awaitable<void> accept(std::shared_ptr<Connection<Stream>> host, std::string token) {
    auto waiting = std::dynamic_pointer_cast<Waiting<Stream>>(registry.takePending(token));
    if (!waiting) co_return co_await respond(*host, http::status::not_found, "token"sv);
    if (!co_await switchProtocols(*host)) co_return host->close();
    waiting->host = std::move(host);  // the viewer's coroutine takes over from here
    waiting->wake.cancel();
  }

  // ---------------------------------------------------------------------------------------------- splicing

  // Forwards bytes both ways through one fixed buffer per direction, so a fast sender is held back by the
  // slow receiver's TCP window instead of growing our memory. An end of stream is passed on as a half-close
  // (TLS streams close both ways). A watchdog closes both sides after `spliceIdleTimeout` without traffic.
  template <typename Stream>
  awaitable<void> splice(std::shared_ptr<Connection<Stream>> a, std::shared_ptr<Connection<Stream>> b) {
    auto lastActivity = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    auto watchdog = std::make_shared<net::steady_timer>(a->stream.get_executor());
    net::co_spawn(a->stream.get_executor(), watch(watchdog, lastActivity, a, b), net::detached);
    auto ab = pump(a, b, lastActivity);
    auto ba = pump(b, a, lastActivity);
    // Both directions run at once; each finishes at its own end of stream or error.
    auto done = std::make_shared<int>(0);
    auto finish = [a, b, watchdog, done](std::exception_ptr) {
      if (++*done == 2) {
        watchdog->cancel();
        a->close();
        b->close();
      }
    };
    net::co_spawn(a->stream.get_executor(), std::move(ab), finish);
    net::co_spawn(a->stream.get_executor(), std::move(ba), finish);
    co_return;
  }

  template <typename Stream>
  static awaitable<void> pump(std::shared_ptr<Connection<Stream>> from, std::shared_ptr<Connection<Stream>> to,
                              std::shared_ptr<std::chrono::steady_clock::time_point> lastActivity) {
    std::string early = from->leftover();
    if (!early.empty()) {
      auto [ec, n] = co_await net::async_write(to->stream, net::buffer(early), tuple);
      if (ec) co_return closeBoth(*from, *to);
    }
    std::vector<char> buffer(kSpliceBuffer);
    for (;;) {
      auto [ec, n] = co_await from->stream.async_read_some(net::buffer(buffer), tuple);
      if (ec == net::error::eof && std::is_same_v<Stream, PlainStream>) {
        boost::system::error_code ignored;
        socketOf(to->stream).shutdown(tcp::socket::shutdown_send, ignored);
        co_return;
      }
      if (ec) co_return closeBoth(*from, *to);
      *lastActivity = std::chrono::steady_clock::now();
      auto [wec, wn] = co_await net::async_write(to->stream, net::buffer(buffer.data(), n), tuple);
      if (wec) co_return closeBoth(*from, *to);
      *lastActivity = std::chrono::steady_clock::now();
    }
  }

  template <typename Stream>
  static void closeBoth(Connection<Stream>& x, Connection<Stream>& y) {
    x.close();
    y.close();
  }

  template <typename Stream>
  awaitable<void> watch(std::shared_ptr<net::steady_timer> timer,
                        std::shared_ptr<std::chrono::steady_clock::time_point> lastActivity,
                        std::shared_ptr<Connection<Stream>> a, std::shared_ptr<Connection<Stream>> b) {
    const auto idle = config.spliceIdleTimeout;
    const auto step = std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(1), idle / 4);
    for (;;) {
      timer->expires_after(step);
      auto [ec] = co_await timer->async_wait(tuple);
      if (ec) co_return;  // the splice ended
      if (std::chrono::steady_clock::now() - *lastActivity >= idle) co_return closeBoth(*a, *b);
    }
  }
};

RelayServer::RelayServer(net::io_context& io, RelayConfig config, RelayRegistry& registry)
    : impl_(std::make_shared<Impl>(io, std::move(config), registry)) {}

RelayServer::~RelayServer() { shutdown(); }

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
  net::co_spawn(d.io, d.acceptLoop(), net::detached);
}

tcp::endpoint RelayServer::localEndpoint() const { return impl_->acceptor.local_endpoint(); }

void RelayServer::shutdown() {
  Impl& d = *impl_;
  if (d.stopping) return;
  d.stopping = true;
  boost::system::error_code ignored;
  d.acceptor.close(ignored);
  // Closing sockets ends every coroutine that waits on them; a closer may erase itself, so copy first.
  auto closers = d.open;
  for (auto& [id, close] : closers) close();
}

std::size_t RelayServer::openConnections() const { return impl_->open.size(); }

}  // namespace pellora::relay
