#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "viewer/service_browser.h"

namespace pellora {

// Where a viewer connects: a typed address, a relay identity, or a host that discovery found. A value.
struct ViewerTarget {
  static constexpr std::uint16_t defaultPort = 7171;

  struct Direct {
    std::string host;
    std::uint16_t port = defaultPort;
    bool operator==(const Direct&) const = default;
  };
  struct Relay {
    std::string id;  // nine ASCII digits
    bool operator==(const Relay&) const = default;
  };
  struct Bonjour {
    std::string name;
    ServiceEndpoint endpoint;
    bool operator==(const Bonjour&) const = default;
  };
  std::variant<Direct, Relay, Bonjour> value;

  bool operator==(const ViewerTarget&) const = default;

  // Typed text to a target: a relay id (white space inside allowed), else host[:port]; nothing for empty
  // text or text with an inner space.
  static std::optional<ViewerTarget> parse(std::string_view text);
  // As a window title shows it: "host:port", "123 456 789", or the service name.
  std::string label() const;
  // What a pin to handshake version 2 is kept under: "relay:" and the nine digits, or "tcp:" and the host
  // (lower case) and port it connects to, the same for a typed address and a discovered one.
  std::string pinKey() const;
};

}  // namespace pellora
