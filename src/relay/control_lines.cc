// A host's control line, /v1/host: after the 101, the relay writes JSON lines to the host (an incoming
// viewer's token, "replaced" when another control line takes over its identity) and answers its pings.

#include "relay/relay_server_impl.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/json.hpp>

#include <deque>
#include <vector>

namespace pellora::relay {

namespace {

constexpr std::size_t kControlOutbox = 4096;  // lines queued to a host that does not read (~0.5 MB)

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
  // Every line queued by the time a write starts leaves in that write: in a burst of viewers, one write per
  // line would make the last line wait a trip through the setup thread's queue for each line before it.
  // (Lines pushed meanwhile keep their place: a deque's push_back moves no element.)
  static awaitable<void> flush(std::shared_ptr<Control> self) {
    while (!self->outbox.empty() && !self->closed) {
      const std::size_t count = self->outbox.size();
      std::vector<net::const_buffer> lines;
      lines.reserve(count);
      for (const std::string& line : self->outbox) lines.push_back(net::buffer(line));
      auto [ec, n] = co_await net::async_write(self->c->stream, lines, tuple);
      if (ec) break;
      self->outbox.erase(self->outbox.begin(), self->outbox.begin() + static_cast<std::ptrdiff_t>(count));
    }
    self->writing = false;
    if (self->closeAfterFlush || !self->outbox.empty()) self->close();
  }
  void close() {
    closed = true;
    c->close();
  }
};

}  // namespace

// Authenticates the host, makes its control line the one the registry tells of incoming viewers, and answers
// its pings until it closes or stays silent beyond the idle timeout.
template <typename Stream>
awaitable<void> RelayServer::Impl::hostControl(std::shared_ptr<Connection<Stream>> c, std::string id,
                                               std::string secret) {
  if (id.empty()) co_return co_await respond(*c, http::status::unauthorized, "auth"sv);
  if (!allow(Admission::Endpoint::hostControl, *c, id))
    co_return co_await decline(c, rateLimitAnswer);
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

template awaitable<void> RelayServer::Impl::hostControl(std::shared_ptr<Connection<PlainStream>>, std::string,
                                                        std::string);
template awaitable<void> RelayServer::Impl::hostControl(std::shared_ptr<Connection<TlsStream>>, std::string,
                                                        std::string);

}  // namespace pellora::relay
