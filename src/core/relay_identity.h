#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pellora {

// The credential a relay hands a host at registration: a nine-digit id and the secret proving it.
struct RelayIdentity {
  std::string id;
  std::string secret;
  bool operator==(const RelayIdentity&) const = default;

  // The id in groups of three from the start, joined by single spaces ("123 456 789").
  std::string displayID() const;
  // {"id": ..., "secret": ...}
  std::string toJSON() const;
  // nullopt unless `json` is an object with string members "id" and "secret".
  static std::optional<RelayIdentity> fromJSON(std::string_view json);
};

}  // namespace pellora
