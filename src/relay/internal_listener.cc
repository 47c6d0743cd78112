// The cluster's internal connections between nodes: the listener that takes them (its own cap of setups, a
// short deadline for the splice line, only node addresses when --cluster-peers names them) and the
// connection this node opens when a host here accepts a viewer that waits on another node.

#include "relay/relay_server_impl.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include "relay/address_range.h"

namespace pellora::relay {

namespace {
constexpr auto kInternalLineTimeout = std::chrono::seconds(2);  // another node sends its line at once

// Opens `socket` and starts its connection without waiting for it: the first write waits for the rest. A
// node nearby has often answered before the call returns, and in a burst each wait for the connect's own
// completion would cost a join a turn of the busy setup thread.
boost::system::error_code startConnect(tcp::socket& socket, const tcp::endpoint& to) {
  boost::system::error_code ec;
  socket.open(to.protocol(), ec);
  if (!ec) socket.non_blocking(true, ec);
  // As on accepted connections: a splice's small writes (input, cursor updates) must not wait for acks.
  if (!ec) socket.set_option(tcp::no_delay(true), ec);
  if (!ec && ::connect(socket.native_handle(), to.data(), static_cast<socklen_t>(to.size())) != 0 &&
      errno != EINPROGRESS && errno != EINTR)
    ec.assign(errno, boost::system::system_category());
  return ec;
}
}  // namespace

void RelayServer::Impl::listenInternal() {
  cluster = ClusterLink::fromKeyFile(config.clusterKeyFile);
  listenOn(internal, {net::ip::make_address(config.advertiseHost), config.advertisePort});
  auto take = [this](tcp::socket s, net::ip::address address) { acceptedInternal(std::move(s), address); };
  auto full = [this] { return internalSetups >= config.maxInternalSetups; };
  net::co_spawn(io, acceptLoop(internal, take, full, &internalSlot), net::detached);
}

void RelayServer::Impl::acceptedInternal(tcp::socket socket, net::ip::address address) {
  if (!config.clusterPeers.empty() && !anyContains(config.clusterPeers, address)) return closeSocket(socket);
  auto c = std::make_shared<Connection<PlainStream>>(std::move(socket));
  track(*c, admission.bookInternal(c->stream.socket().native_handle()));
  ++internalSetups;
  std::shared_ptr<void> setup(nullptr, [self = shared_from_this()](void*) {
    --self->internalSetups;
    self->internalSlot.cancel();
  });
  net::co_spawn(io, serveInternal(c, std::move(setup)), net::detached);
}

awaitable<void> RelayServer::Impl::serveInternal(std::shared_ptr<Connection<PlainStream>> c,
                                                 std::shared_ptr<void> setup) {
  c->stream.expires_after(kInternalLineTimeout);
  const std::string line = co_await readLine(*c);
  const std::optional<std::string> token = cluster->provenToken(line);
  // Proven or not, its setup has ended: the next may be accepted while this one is answered. In a burst the
  // answer waits for a turn of this thread, and holding the slot meanwhile would hold back the accepts.
  setup.reset();
  if (!token) co_return c->close();
  // Straight from this node's memory: a join must not queue behind the registry's calls to the store,
  // which a burst of connects fills.
  auto waiting = std::dynamic_pointer_cast<Waiting>(registry.takeLocalPending(*token));
  const std::string answer = waiting ? "OK\n" : "GONE\n";
  const boost::system::error_code wec = co_await sendNow(c->stream, answer);
  c->stream.expires_never();
  if (wec || !waiting) co_return c->close();
  waiting->join(std::move(c));
}

awaitable<std::string> RelayServer::Impl::readLine(Connection<PlainStream>& c) {
  std::string text;
  auto [ec, n] = co_await net::async_read_until(c.stream, net::dynamic_buffer(text, 256), '\n', tuple);
  if (ec) co_return std::string();
  const std::string rest = text.substr(n);
  c.buffer.commit(net::buffer_copy(c.buffer.prepare(rest.size()), net::buffer(rest)));
  text.resize(n);
  co_return text;
}

template <typename Stream>
awaitable<void> RelayServer::Impl::acceptElsewhere(std::shared_ptr<Connection<Stream>> host, std::string token,
                                                   std::string node) {
  const std::optional<tcp::endpoint> there = ClusterLink::nodeEndpoint(node);
  if (!there) co_return co_await respond(*host, http::status::not_found, "token"sv);
  auto peer = std::make_shared<Connection<PlainStream>>(io);
  peer->stream.expires_after(config.headerTimeout);
  boost::system::error_code cec = startConnect(peer->stream.socket(), *there);
  const std::string greeting = cluster->greeting(token);
  if (!cec) cec = co_await sendNow(peer->stream, greeting);
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

}  // namespace pellora::relay
