#pragma once

// What `pellora host` tells its user and its scripts: lines for the terminal about each change of the
// host service's state, and the JSON copy of that state that --status-json keeps.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "host/host_service.h"

namespace pellora::cli {

// The state as "off", "connecting", "online" or "failed".
std::string relayStateName(const HostService::RelayState& state);

// Follows the published state of one host service and remembers every event line (the newest
// `maxEvents`). Lives on the main strand, beside the service.
class HostStatus {
 public:
  static constexpr std::size_t maxEvents = 100;

  // The terminal lines that describe the change from the previous state to `state` (the first call
  // describes everything worth telling), and remembers `state`.
  std::vector<std::string> update(const HostService::State& state);

  // The JSON document of the newest state: sharing, listener status and port, addresses, relay state with
  // the id (never the secret), the active session, the last event and every event seen, the password.
  std::string json(const std::vector<std::string>& addresses, std::uint16_t listeningPort) const;

 private:
  std::optional<HostService::State> previous_;
  std::deque<std::string> events_;
};

}  // namespace pellora::cli
