#include "core/relay_identity.h"

#include <boost/json.hpp>

namespace pellora {

std::string RelayIdentity::displayID() const {
  std::string out;
  for (std::size_t i = 0; i < id.size(); i += 3) {
    if (i) out.push_back(' ');
    out += id.substr(i, 3);
  }
  return out;
}

std::string RelayIdentity::toJSON() const {
  return boost::json::serialize(boost::json::object{{"id", id}, {"secret", secret}});
}

std::optional<RelayIdentity> RelayIdentity::fromJSON(std::string_view json) {
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(json, ec);
  if (ec || !v.is_object()) return std::nullopt;
  const auto* id = v.as_object().if_contains("id");
  const auto* secret = v.as_object().if_contains("secret");
  if (!id || !secret || !id->is_string() || !secret->is_string()) return std::nullopt;
  return RelayIdentity{std::string(id->as_string()), std::string(secret->as_string())};
}

}  // namespace pellora
