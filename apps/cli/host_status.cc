#include "cli/host_status.h"

#include <boost/json.hpp>

#include "cli/session_lines.h"

namespace pellora::cli {

namespace json = boost::json;

namespace {

std::string describeRelay(const HostService::RelayState& state) {
  using R = HostService::RelayState;
  if (auto* online = std::get_if<R::Online>(&state.value)) return "Relay: online, id " + online->identity.displayID();
  if (auto* failed = std::get_if<R::Failed>(&state.value)) return "Relay: failed: " + failed->reason;
  return "Relay: " + relayStateName(state);
}

std::int64_t epochSeconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

std::string relayStateName(const HostService::RelayState& state) {
  static constexpr const char* names[] = {"off", "connecting", "online", "failed"};
  return names[state.value.index()];
}

std::vector<std::string> HostStatus::update(const HostService::State& state) {
  const HostService::State before = previous_.value_or(HostService::State{});
  const bool first = !previous_;
  std::vector<std::string> lines;
  if (first || before.listenerStatus != state.listenerStatus) lines.push_back("Listener: " + state.listenerStatus);
  if (first || before.relayState != state.relayState) lines.push_back(describeRelay(state.relayState));
  if ((first || before.password != state.password) && !state.password.empty())
    lines.push_back("Password: " + state.password);
  if (before.advertisedName != state.advertisedName && !state.advertisedName.empty())
    lines.push_back("Announced on the local network as \"" + state.advertisedName + "\"");
  if (state.active && (!before.active || before.active->id != state.active->id))
    lines.push_back("Session with " + state.active->peerName + ": handshake version " +
                    std::to_string(state.active->handshakeVersion) +
                    (state.active->handshakeVersion >= 2 ? " (SPAKE2)" : ""));
  if (before.lastEvent != state.lastEvent && state.lastEvent) {
    lines.push_back(*state.lastEvent);
    events_.push_back(*state.lastEvent);
    if (events_.size() > maxEvents) events_.pop_front();
  }
  for (auto& line : chatLines(before.chat, state.chat)) lines.push_back(std::move(line));
  for (auto& line : transferLines(before.transfers, state.transfers)) lines.push_back(std::move(line));
  previous_ = state;
  return lines;
}

std::string HostStatus::json(const std::vector<std::string>& addresses, std::uint16_t listeningPort) const {
  const HostService::State state = previous_.value_or(HostService::State{});
  json::object relay{{"state", relayStateName(state.relayState)}};
  using R = HostService::RelayState;
  if (auto* online = std::get_if<R::Online>(&state.relayState.value)) {
    relay["id"] = online->identity.id;
    relay["displayID"] = online->identity.displayID();
  }
  if (auto* failed = std::get_if<R::Failed>(&state.relayState.value)) relay["reason"] = failed->reason;

  json::value active = nullptr;
  if (state.active)
    active = json::object{{"id", state.active->id},
                          {"peerName", state.active->peerName},
                          {"address", state.active->address},
                          {"since", epochSeconds(state.active->since)},
                          {"handshakeVersion", state.active->handshakeVersion}};
  json::array addressList(addresses.begin(), addresses.end());
  json::array events(events_.begin(), events_.end());
  json::object document{
      {"isSharing", state.isSharing},
      {"listenerStatus", state.listenerStatus},
      {"listeningPort", listeningPort},
      {"addresses", std::move(addressList)},
      {"relay", std::move(relay)},
      {"active", std::move(active)},
      {"lastEvent", state.lastEvent ? json::value(*state.lastEvent) : json::value(nullptr)},
      {"events", std::move(events)},
      {"password", state.password},
      {"advertisedName", state.advertisedName},
  };
  return json::serialize(document) + "\n";
}

}  // namespace pellora::cli
