#include "relay/relay_server.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include <future>

#include "relay/address_range.h"
#include "relay/relay_server_impl.h"

namespace pellora::relay {

namespace {

// Copying threads yield the CPU to the setup and registry threads: a burst of new splices (hosts
// reconnecting after a restart) would otherwise wait behind the bytes of the splices already joined.
constexpr int kCopierNiceness = 10;
constexpr auto kInternalLineTimeout = std::chrono::seconds(2);  // another node sends its line at once

}  // namespace

// ------------------------------------------------------------------------------------------------ accept

template <typename Take, typename Full>
awaitable<void> RelayServer::Impl::acceptLoop(tcp::acceptor& from, Take take, Full full,
                                              net::steady_timer* slot) {
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

void RelayServer::Impl::accepted(tcp::socket socket, net::ip::address address) {
  if (anyContains(config.trustedProxies, address)) net::co_spawn(io, proxied(std::move(socket), address), net::detached);
  else start(std::move(socket), address);
}

void RelayServer::Impl::start(tcp::socket socket, net::ip::address address) {
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
awaitable<void> RelayServer::Impl::proxied(tcp::socket socket, net::ip::address balancer) {
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
awaitable<void> RelayServer::Impl::tickLoop() {
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

awaitable<void> RelayServer::Impl::refuse(std::shared_ptr<PlainStream> s) {
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

awaitable<void> RelayServer::Impl::serveTls(std::shared_ptr<Connection<TlsStream>> c) {
  tcpOf(c->stream).expires_after(config.headerTimeout);
  auto [ec] = co_await c->stream.async_handshake(net::ssl::stream_base::server, tuple);
  if (ec) {
    c->close();
    co_return;
  }
  co_await serve(c);
}

// ------------------------------------------------------------------------------------------------ cluster

template <typename Stream>
awaitable<void> RelayServer::Impl::acceptElsewhere(std::shared_ptr<Connection<Stream>> host, std::string token,
                                                   std::string node) {
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

template awaitable<void> RelayServer::Impl::acceptElsewhere(std::shared_ptr<Connection<PlainStream>>, std::string,
                                                            std::string);
template awaitable<void> RelayServer::Impl::acceptElsewhere(std::shared_ptr<Connection<TlsStream>>, std::string,
                                                            std::string);

awaitable<std::string> RelayServer::Impl::readLine(Connection<PlainStream>& c) {
  std::string text;
  auto [ec, n] = co_await net::async_read_until(c.stream, net::dynamic_buffer(text, 256), '\n', tuple);
  if (ec) co_return std::string();
  const std::string rest = text.substr(n);
  c.buffer.commit(net::buffer_copy(c.buffer.prepare(rest.size()), net::buffer(rest)));
  text.resize(n);
  co_return text;
}

void RelayServer::Impl::acceptedInternal(tcp::socket socket, net::ip::address address) {
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

awaitable<void> RelayServer::Impl::serveInternal(std::shared_ptr<Connection<PlainStream>> c) {
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
