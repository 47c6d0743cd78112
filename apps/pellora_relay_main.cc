// pellora-relay: joins Pellora viewers to hosts that cannot reach each other directly.

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <iostream>

#include "base/allocator_tuning.h"
#include "relay/redis_relay_registry.h"
#include "relay/relay_server.h"

int main(int argc, char** argv) {
  using namespace pellora::relay;
  ParsedArguments parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.config) {
    (parsed.ok ? std::cout : std::cerr) << parsed.message;
    return parsed.ok ? 0 : 2;
  }
  const RelayConfig& config = *parsed.config;
  pellora::tuneAllocatorForStreaming();
  try {
    boost::asio::io_context io(1);
    std::unique_ptr<RelayRegistry> registry;
    RedisRelayRegistry* cluster = nullptr;
    if (config.cluster()) {
      auto redis = std::make_unique<RedisRelayRegistry>(*config.redis, std::string());
      // A Redis that turns this node away (password, certificate) stops it here; one that is away is waited for.
      if (!redis->admitted())
        std::cerr << "pellora-relay: Redis does not answer yet; registrations and connects get 503 until it does"
                  << std::endl;
      cluster = redis.get();
      registry = std::move(redis);
    } else {
      registry = std::make_unique<LocalRelayRegistry>(config.database);
    }
    RelayServer server(io, config, *registry);
    server.start();
    std::string where = "identities in " + config.database.string();
    if (cluster) {
      auto internal = server.internalEndpoint();
      const std::string host = internal.address().to_string();
      const std::string address = (internal.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(internal.port());
      cluster->setNodeAddress(address);
      where = "cluster node " + cluster->nodeId() + " on " + config.redis->describe() + ", internal " + address;
    }

    // SIGTERM and SIGINT: stop accepting, close every connection, and leave once they have wound down.
    boost::asio::signal_set signals(io, SIGTERM, SIGINT);
    boost::asio::steady_timer grace(io);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::function<void()> waitForClose = [&] {
      if (server.openConnections() == 0 || std::chrono::steady_clock::now() >= deadline) return io.stop();
      grace.expires_after(std::chrono::milliseconds(20));
      grace.async_wait([&](const boost::system::error_code&) { waitForClose(); });
    };
    signals.async_wait([&](const boost::system::error_code& ec, int) {
      if (ec) return;
      server.shutdown();
      waitForClose();
    });

    auto endpoint = server.localEndpoint();
    std::cout << "pellora-relay listening on " << endpoint.address().to_string() << ":" << endpoint.port()
              << (config.tls() ? " (https)" : " (http)") << ", " << where << std::endl;
    io.run();
    return 0;
  } catch (const boost::system::system_error& e) {
    std::cerr << "pellora-relay: cannot listen on " << config.listenHost << ":" << config.listenPort << ": "
              << e.code().message() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "pellora-relay: " << e.what() << "\n";
    return 1;
  }
}
