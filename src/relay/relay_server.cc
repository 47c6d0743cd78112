#include "relay/relay_server.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>

#include <pthread.h>
#include <sched.h>
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

}  // namespace

// ------------------------------------------------------------------------------------------------ accept

awaitable<void> RelayServer::Impl::acceptLoop(tcp::acceptor& from, Taker take, std::function<bool()> full,
                                              net::steady_timer* slot) {
  auto self = shared_from_this();
  boost::system::error_code ignored;
  from.non_blocking(true, ignored);
  while (!stopping) {
    while (slot && full() && !stopping) {
      slot->expires_at(net::steady_timer::time_point::max());
      co_await slot->async_wait(tuple);
    }
    if (stopping) break;
    tcp::endpoint peer;  // from the accept itself: asking the socket for it costs a system call each
    auto [ec, socket] = co_await from.async_accept(peer, tuple);
    if (ec) {
      if (stopping || ec == net::error::operation_aborted) break;
      if (ec != net::error::connection_aborted) {
        // E.g. too many open files: the connection stays in the kernel's queue, so an accept at once would
        // fail again at once and spin this thread. Keep serving the connections we have, try again shortly.
        net::steady_timer pause(from.get_executor(), kAcceptRetry);
        co_await pause.async_wait(tuple);
      }
      continue;
    }
    take(std::move(socket), unmapped(peer.address()));
    // A burst (hosts coming back after a restart) is taken from the kernel's queue at once: one accept per
    // pass would wait behind every handler queued on this thread, and each connection accepted adds more.
    boost::system::error_code drained;
    for (int i = 1; i < kAcceptBurst && !drained && !stopping && !(slot && full()); ++i) {
      tcp::socket next = from.accept(peer, drained);  // would_block once the queue is empty
      if (!drained) take(std::move(next), unmapped(peer.address()));
    }
  }
}

void RelayServer::Impl::listenOn(tcp::acceptor& acceptor, const tcp::endpoint& at) {
  acceptor.open(at.protocol());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.set_option(tcp::no_delay(true));
  acceptor.bind(at);
  acceptor.listen(net::socket_base::max_listen_connections);
}

void RelayServer::Impl::accepted(tcp::socket socket, net::ip::address address) {
  if (anyContains(config.trustedProxies, address)) net::co_spawn(io, proxied(std::move(socket), address), net::detached);
  else start(std::move(socket), address);
}

void RelayServer::Impl::start(tcp::socket socket, net::ip::address address) {
  auto id = admission.admitClient(address, socket.native_handle());
  if (!id) {
    if (tls) closeSocket(socket);
    else refuse(std::move(socket), capacityAnswer);
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

void RelayServer::Impl::refuse(tcp::socket socket, const std::string& answer, std::shared_ptr<void> slot) {
  if (refusing.fetch_add(1) >= kLingering) {
    --refusing;
    return closeSocket(socket);
  }
  const Handoff h = handOff(socket);
  if (h.fd < 0) {
    --refusing;
    return;
  }
  net::post(refusals, [self = shared_from_this(), h, &answer, slot = std::move(slot)]() mutable {
    tcp::socket s(self->refusals);
    takeUp(s, h);
    auto done = [self, slot = std::move(slot)](std::exception_ptr) mutable {
      --self->refusing;
      if (slot) net::post(self->io, [slot = std::move(slot)] {});  // its stream belongs to the setup thread
    };
    net::co_spawn(self->refusals, self->linger(std::move(s), answer), std::move(done));
  });
}

// Answers, then reads until the client closes (for at most 2 s): closing with its request unread would
// reset the connection, and the reset can overtake the answer.
awaitable<void> RelayServer::Impl::linger(tcp::socket socket, const std::string& answer) {
  PlainStream s(std::move(socket));
  s.expires_after(std::chrono::seconds(2));
  auto [ec, n] = co_await net::async_write(s, net::buffer(answer), tuple);
  boost::system::error_code ignored;
  s.socket().shutdown(tcp::socket::shutdown_send, ignored);
  char sink[512];
  while (!ec) std::tie(ec, n) = co_await s.async_read_some(net::buffer(sink), tuple);
  closeSocket(s.socket());
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
  if (refusals_) refusals_->stop();
  for (auto& t : threads_) t.join();
  copiers_.clear();
  refusals_.reset();
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
  Impl::listenOn(d.acceptor, {net::ip::make_address(d.config.listenHost), d.config.listenPort});

  // Threads that run forever until the destructor stops them.
  enum class Priority { normal, copying, idle };
  auto spawnThread = [this](net::io_context& context, Priority priority = Priority::normal) {
    threads_.emplace_back([&context, priority] {
      if (priority == Priority::copying) {
        const auto self = static_cast<id_t>(::gettid());  // a thread's own nice value on Linux
        errno = 0;
        const int base = ::getpriority(PRIO_PROCESS, self);
        if (errno == 0) ::setpriority(PRIO_PROCESS, self, base + kCopierNiceness);
      } else if (priority == Priority::idle) {
        // Runs only while no other thread wants the core, and yields it as soon as one wakes.
        const sched_param none{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
      }
      auto guard = net::make_work_guard(context);
      context.run();
    });
  };
  const unsigned registryThreads = std::max(1u, d.registry.concurrency());
  registryIo_ = std::make_unique<net::io_context>(static_cast<int>(registryThreads));
  d.registryExecutor = registryIo_->get_executor();
  const unsigned copying = d.config.threads ? d.config.threads : std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < copying; ++i) {
    copiers_.push_back(std::make_unique<net::io_context>(1));
    d.copiers.push_back(copiers_.back()->get_executor());
  }
  refusals_ = std::make_unique<net::io_context>(1);
  d.refusals = refusals_->get_executor();
  if (d.config.cluster()) d.listenInternal();
  for (unsigned i = 0; i < registryThreads; ++i) spawnThread(*registryIo_);
  for (auto& c : copiers_) spawnThread(*c, Priority::copying);
  spawnThread(*refusals_, Priority::idle);
  // A context makes its reactor (descriptors of its own) on first use, which may come when descriptors have
  // run out: the first splice or refusal would then end the process. Each makes it now.
  for (auto& c : copiers_) net::steady_timer(*c).cancel();
  net::steady_timer(*refusals_).cancel();
  auto publicSide = [&d](tcp::socket s, net::ip::address address) { d.accepted(std::move(s), address); };
  net::co_spawn(d.io, d.acceptLoop(d.acceptor, publicSide), net::detached);
  net::co_spawn(d.io, d.tickLoop(), net::detached);
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
