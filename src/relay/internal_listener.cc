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
  auto [wec, wn] = co_await net::async_write(c->stream, net::buffer(answer), tuple);
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
  auto [cec] = co_await peer->stream.async_connect(*there, tuple);
  // As on accepted connections: a splice's small writes (input, cursor updates) must not wait for acks.
  if (!cec) peer->stream.socket().set_option(tcp::no_delay(true), cec);
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

}  // namespace pellora::relay
