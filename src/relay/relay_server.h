#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>

#include "relay/relay_config.h"
#include "relay/relay_registry.h"

namespace pellora::relay {

// The relay service: an HTTP/1.1 server whose upgrade endpoints join a viewer's connection to its host's.
//   POST .../v1/register      -> 200 {"id","secret"}
//   GET  /v1/host    (upgrade, X-Pellora-Id + X-Pellora-Secret) -> 101, then JSON control lines
//   GET  /v1/connect (upgrade, X-Pellora-Id)     -> 101 once the host accepts, then the host's bytes
//   GET  /v1/accept  (upgrade, X-Pellora-Token)  -> 101, then the viewer's bytes
//   GET  /v1/health                              -> 200
// Errors answer {"error": code}. Runs on the io_context it is given, which must run on one thread.
class RelayServer {
 public:
  RelayServer(boost::asio::io_context& io, RelayConfig config, RelayRegistry& registry);
  ~RelayServer();

  // Binds the listening socket and starts accepting. Throws boost::system::system_error (address in use,
  // permission) or std::runtime_error (TLS files unreadable).
  void start();
  boost::asio::ip::tcp::endpoint localEndpoint() const;
  // Stops accepting and closes every open connection; io_context::run() then returns.
  void shutdown();

  std::size_t openConnections() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace pellora::relay
