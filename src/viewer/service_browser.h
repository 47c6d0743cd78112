#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pellora {

// A host announced on the local network, resolved to where it listens.
struct ServiceEndpoint {
  std::string name;     // the announced service name
  std::string address;  // numeric address (IPv4, or IPv6 with its scope)
  std::uint16_t port = 0;
  bool operator==(const ServiceEndpoint&) const = default;
  auto operator<=>(const ServiceEndpoint&) const = default;
};

// Browses the local network for "_pellora._tcp" services (Linux: Avahi, platform/linux). Reports the
// complete current set after every change, removals included; a service shows up once it resolved.
// Callbacks arrive on the browser's own thread; Discovery hops to the main strand. Destroying the browser
// stops it; no callback runs after the destructor returns.
class ServiceBrowser {
 public:
  virtual ~ServiceBrowser() = default;

  // Starts browsing; at most once.
  virtual void start() = 0;

  std::function<void(const std::vector<ServiceEndpoint>&)> onResults;
};

}  // namespace pellora
