#include "viewer/viewer_target.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "core/relay_identity.h"
#include "core/relay_protocol.h"

namespace pellora {

namespace {

// Spaces and tabs only: a line break typed or pasted at an end stays part of the text.
std::string_view trimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Plain decimal digits, 0...65535; no sign, no blanks.
std::optional<std::uint16_t> parsePort(std::string_view text) {
  std::uint16_t port = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, port);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return port;
}

}  // namespace

std::optional<ViewerTarget> ViewerTarget::parse(std::string_view text) {
  const std::string_view trimmed = trimBlanks(text);
  if (RelayProtocol::isRelayID(trimmed)) return ViewerTarget{Relay{RelayProtocol::digitsOf(trimmed)}};
  if (trimmed.empty() || trimmed.find(' ') != std::string_view::npos) return std::nullopt;
  if (const auto colon = trimmed.rfind(':'); colon != std::string_view::npos) {
    if (const auto port = parsePort(trimmed.substr(colon + 1)))
      return ViewerTarget{Direct{std::string(trimmed.substr(0, colon)), *port}};
  }
  return ViewerTarget{Direct{std::string(trimmed), defaultPort}};
}

std::string ViewerTarget::label() const {
  if (const auto* direct = std::get_if<Direct>(&value)) return direct->host + ":" + std::to_string(direct->port);
  if (const auto* relay = std::get_if<Relay>(&value)) return RelayIdentity{relay->id, ""}.displayID();
  return std::get<Bonjour>(value).name;
}

std::string ViewerTarget::pinKey() const {
  if (const auto* relay = std::get_if<Relay>(&value)) return "relay:" + relay->id;
  const auto* direct = std::get_if<Direct>(&value);
  std::string host = direct ? direct->host : std::get<Bonjour>(value).endpoint.address;
  const std::uint16_t port = direct ? direct->port : std::get<Bonjour>(value).endpoint.port;
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  return "tcp:" + host + ":" + std::to_string(port);
}

}  // namespace pellora
