#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace pellora {

// Announces the host's listener on the local network (Linux: an Avahi client, platform/linux). Owned by
// the host service while sharing is on; destroying it withdraws the announcement. Callbacks arrive on the
// advertiser's own thread; the host service hops to the main strand.
class ServiceAdvertiser {
 public:
  static constexpr const char* serviceType = "_pellora._tcp";

  virtual ~ServiceAdvertiser() = default;

  // Starts announcing `name` for `port`. On a name collision the advertiser takes the system's
  // alternative name and reports it through `onName`. Never throws: failures only mean no announcement.
  virtual void advertise(const std::string& name, std::uint16_t port) = 0;

  // The name actually announced (after a collision it differs from the one asked for).
  std::function<void(const std::string&)> onName;
};

}  // namespace pellora
