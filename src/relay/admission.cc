#include "relay/admission.h"

#include <sys/socket.h>

#include <sstream>

#include "relay/address_range.h"

namespace pellora::relay {

namespace ip = boost::asio::ip;

Admission::Admission(const RelayConfig& config)
    : config_(config),
      registrations_(config.registrationsPerMinute),
      logins_(config.hostLoginsPerMinute),
      connects_(config.connectsPerMinute),
      connectsPerIdentity_(config.connectsPerIdentityPerMinute),
      accepts_(config.acceptsPerMinute) {}

std::optional<std::uint64_t> Admission::admitClient(const ip::address& address, int fd) {
  std::string key = limitKey(address);
  std::lock_guard lock(mutex_);
  auto& count = perAddress_[key];
  if (count >= config_.maxConnectionsPerAddress) return std::nullopt;
  ++count;
  ++clients_;
  const std::uint64_t id = next_++;
  open_.emplace(id, Open{fd, std::move(key)});
  return id;
}

std::uint64_t Admission::bookInternal(int fd) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = next_++;
  open_.emplace(id, Open{fd, {}});
  return id;
}

void Admission::leave(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = open_.find(id);
  if (it == open_.end()) return;
  if (!it->second.key.empty()) {
    --clients_;
    auto count = perAddress_.find(it->second.key);
    if (count != perAddress_.end() && --count->second == 0) perAddress_.erase(count);
  }
  open_.erase(it);
}

std::size_t Admission::clientConnections() const {
  std::lock_guard lock(mutex_);
  return clients_;
}

std::size_t Admission::openConnections() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

void Admission::shutdownAll() {
  std::lock_guard lock(mutex_);
  for (auto& [id, o] : open_) ::shutdown(o.fd, SHUT_RDWR);
}

bool Admission::allow(Endpoint endpoint, const ip::address& client, std::string_view identity) {
  const std::string key = limitKey(client);
  const std::string id(identity);
  std::lock_guard lock(mutex_);
  switch (endpoint) {
    case Endpoint::registration:
      return registrations_.allow(key);
    case Endpoint::accept:
      return accepts_.allow(key);
    // Not per identity: a 256-bit secret is not guessed at any pace, and a budget per identity would let
    // strangers keep its host off the relay.
    case Endpoint::hostControl:
      return logins_.allow(key);
    // Per identity too, so that many addresses together cannot flood one host with incoming lines. Its
    // budget is larger than one address's, and the address is counted first, so that one client alone
    // never uses it up.
    case Endpoint::connect:
      return connects_.allow(key) && connectsPerIdentity_.allow(id);
  }
  return false;
}

ProxyLine parseProxyLine(std::string_view line) {
  ProxyLine result;
  if (line.size() > 107 || !line.ends_with("\r\n")) return result;
  std::istringstream words{std::string(line.substr(0, line.size() - 2))};
  std::string proxy, family, source, destination, sourcePort, destinationPort, extra;
  words >> proxy >> family;
  if (proxy != "PROXY") return result;
  if (family == "UNKNOWN") {  // the balancer's own health check: the connection stands for itself
    result.valid = true;
    return result;
  }
  if (family != "TCP4" && family != "TCP6") return result;
  words >> source >> destination >> sourcePort >> destinationPort;
  if (destinationPort.empty() || (words >> extra)) return result;
  boost::system::error_code bad;
  const ip::address address = ip::make_address(source, bad);
  if (bad || address.is_v4() != (family == "TCP4")) return result;
  result.valid = true;
  result.source = address;
  return result;
}

}  // namespace pellora::relay
