#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <thread>
#include <vector>

#include "relay/relay_config.h"
#include "relay/relay_registry.h"

namespace pellora::relay {

// The relay service: an HTTP/1.1 server whose upgrade endpoints join a viewer's connection to its host's.
//   POST .../v1/register      -> 200 {"id","secret"}
//   GET  /v1/host    (upgrade, X-Pellora-Id + X-Pellora-Secret) -> 101, then JSON control lines
//   GET  /v1/connect (upgrade, X-Pellora-Id)     -> 101 once the host accepts, then the host's bytes
//   GET  /v1/accept  (upgrade, X-Pellora-Token)  -> 101, then the viewer's bytes
//   GET  /v1/health                              -> 200, or 503 while the registry cannot be reached
// Errors answer {"error": code}.
//
// Threads: the io_context it is given (which must run on one thread) accepts connections and sets up every
// splice: request heads, control lines, waiting viewers. Bytes of plain splices are copied on a pool of
// threads of its own (config.threads), so that a new splice never queues behind bulk copying; TLS splices
// stay on the given io_context. Answers that refuse a client (slots, rate limits) are written on a thread of
// their own at idle priority. Registry calls run on threads of their own (as many as the registry takes at
// once), so a registry that waits for its store never holds up the network. In a cluster (config.cluster()),
// a second listener at the advertised address takes internal connections from other nodes. Who may come in
// and how often (connection slots, rate limits, trusted balancers) is Admission's to say.
class RelayServer {
 public:
  RelayServer(boost::asio::io_context& io, RelayConfig config, RelayRegistry& registry);
  ~RelayServer();

  // Binds the listening socket(s), starts the threads and starts accepting. Throws
  // boost::system::system_error (address in use, permission) or std::runtime_error (TLS or key files).
  void start();
  boost::asio::ip::tcp::endpoint localEndpoint() const;
  // Cluster: where the internal listener is bound.
  boost::asio::ip::tcp::endpoint internalEndpoint() const;
  // Stops accepting and closes every open connection; io_context::run() then returns. On the io_context.
  void shutdown();

  std::size_t openConnections() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
  // Owned here rather than by Impl: their pending handlers hold Impl, so they go first.
  std::unique_ptr<boost::asio::io_context> registryIo_;
  std::vector<std::unique_ptr<boost::asio::io_context>> copiers_;
  std::unique_ptr<boost::asio::io_context> refusals_;
  std::vector<std::thread> threads_;
};

}  // namespace pellora::relay
