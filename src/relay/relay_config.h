#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "relay/address_range.h"

namespace pellora::relay {

using Seconds = std::chrono::seconds;

// A Redis server named by "redis[s]://[[USER]:PASSWORD@]HOST[:PORT][/DB]" (rediss: over TLS).
struct RedisAddress {
  std::string host;
  std::uint16_t port = 6379;
  int database = 0;
  bool tls = false;
  std::string user;      // empty: the default user
  std::string password;  // empty: no AUTH
  std::filesystem::path caFile;  // with tls: a private CA trusted beside the system's

  // The URL without user or password, for messages.
  std::string describe() const;
};
std::optional<RedisAddress> parseRedisUrl(const std::string& url);

// Everything an operator can set on the command line; the defaults suit a small public relay.
struct RelayConfig {
  std::string listenHost = "127.0.0.1";
  std::uint16_t listenPort = 8270;
  std::filesystem::path database;  // empty: the default under the XDG data folder
  std::filesystem::path tlsCertificate, tlsKey;

  std::size_t maxConnections = 1000;
  std::size_t maxConnectionsPerAddress = 32;  // so that one address cannot take every slot
  int registrationsPerMinute = 10;  // per client address
  int hostLoginsPerMinute = 30;     // host control connections, per client address
  int connectsPerMinute = 60;       // per client address
  int connectsPerIdentityPerMinute = 240;  // per identity asked for, from all addresses together
  int acceptsPerMinute = 120;       // per client address
  Seconds acceptTimeout{30};        // a viewer waits this long for its host; tokens live as long
  Seconds headerTimeout{10};        // to receive a complete request head (and the TLS handshake)
  Seconds controlIdleTimeout{90};   // hosts ping every 25 s
  Seconds spliceIdleTimeout{600};   // a forwarded stream with no byte either way
  unsigned threads = 0;             // threads that copy relayed bytes; 0: one per core
  // Load balancers whose connections begin with a PROXY v1 line naming the client. A PROXY line from any
  // other address closes its connection.
  std::vector<AddressRange> trustedProxies;

  // Cluster mode: identities, presence and tokens in Redis; nodes join splices over internal connections.
  std::optional<RedisAddress> redis;
  std::string advertiseHost;  // where other nodes reach this node's internal listener
  std::uint16_t advertisePort = 0;
  std::filesystem::path clusterKeyFile;
  std::vector<AddressRange> clusterPeers;  // empty: the internal listener takes any address (the key decides)
  std::size_t maxInternalSetups = 64;      // internal connections still proving the cluster key

  bool tls() const { return !tlsCertificate.empty(); }
  bool cluster() const { return redis.has_value(); }
};

// Parses `pellora-relay` arguments. Returns the configuration, or nullopt after printing help (when asked)
// or an error message to `error`.
struct ParsedArguments {
  std::optional<RelayConfig> config;
  std::string message;  // help text or the error
  bool ok = false;      // false: print `message` to stderr and exit with status 2
};
ParsedArguments parseArguments(const std::vector<std::string>& args);

std::filesystem::path defaultDatabasePath();

}  // namespace pellora::relay
