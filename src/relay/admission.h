#pragma once

#include <boost/asio/ip/address.hpp>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "relay/rate_limiter.h"
#include "relay/relay_config.h"

namespace pellora::relay {

// Who may come in, and how often: connection slots of clients (in all, and per address), the books of
// internal connections between nodes (apart from the clients', so that neither side can use up the other's
// budget), the request rate of each endpoint per client address and, where a request names one, per
// identity. Addresses are counted by limitKey (IPv6 per /64).
//
// Threads: used by the setup thread and by copying threads when a splice ends; every call holds the lock
// for a few map operations only.
class Admission {
 public:
  enum class Endpoint { registration, hostControl, connect, accept };

  explicit Admission(const RelayConfig& config);

  // A slot for a client connection from `address`; nullopt when that address holds its share already.
  std::optional<std::uint64_t> admitClient(const boost::asio::ip::address& address, int fd);
  // Books a connection between nodes (never refused: the internal listener caps its own setups).
  std::uint64_t bookInternal(int fd);
  void leave(std::uint64_t id);

  std::size_t clientConnections() const;
  std::size_t openConnections() const;  // clients and internal ones
  // Shuts every booked socket down (from whatever thread holds it), which ends whoever waits on it.
  void shutdownAll();

  // Whether `client` (and `identity`, for connects) may make one more such request now.
  bool allow(Endpoint endpoint, const boost::asio::ip::address& client, std::string_view identity = {});

 private:
  struct Open {
    int fd;
    std::string key;  // empty for internal connections
  };
  const RelayConfig& config_;
  mutable std::mutex mutex_;
  std::uint64_t next_ = 0;
  std::unordered_map<std::uint64_t, Open> open_;
  std::unordered_map<std::string, std::size_t> perAddress_;
  std::size_t clients_ = 0;
  RateLimiter registrations_, logins_, connects_, connectsPerIdentity_, accepts_;
};

// The client a PROXY protocol v1 line names (nullopt for "PROXY UNKNOWN ..."), or why the line is refused.
struct ProxyLine {
  bool valid = false;
  std::optional<boost::asio::ip::address> source;
};
// `line` with its CR LF; at most 107 bytes as the protocol allows.
ProxyLine parseProxyLine(std::string_view line);

}  // namespace pellora::relay
