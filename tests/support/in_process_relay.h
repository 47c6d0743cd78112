#pragma once

// A relay server with its local registry on its own thread, on a free loopback port: the relay's own
// tests and the host service's relay loop run against it.

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "relay/relay_registry.h"
#include "relay/relay_server.h"
#include "support/on_strand.h"

namespace pellora::test {

struct InProcessRelay {
  explicit InProcessRelay(const std::filesystem::path& dir, relay::RelayConfig config = {}) {
    config.listenPort = 0;
    config.database = dir / "relay.db";
    registry = std::make_unique<relay::LocalRelayRegistry>(config.database);
    server = std::make_unique<relay::RelayServer>(io, config, *registry);
    server->start();
    port = server->localEndpoint().port();
    thread = std::thread([this] { io.run(); });
  }
  ~InProcessRelay() {
    shutdown();
    io.stop();
    thread.join();
  }
  void shutdown() {
    boost::asio::post(io, [this] { server->shutdown(); });
  }
  std::size_t openConnections() {
    return onStrand(io.get_executor(), [this] { return server->openConnections(); });
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }

  boost::asio::io_context io;
  std::unique_ptr<relay::LocalRelayRegistry> registry;
  std::unique_ptr<relay::RelayServer> server;
  std::uint16_t port = 0;
  std::thread thread;
};

}  // namespace pellora::test
