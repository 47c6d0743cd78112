#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <filesystem>
#include <optional>
#include <string>

#include "core/crypto.h"

namespace pellora::relay {

// How the nodes of a cluster reach each other: an internal connection opens with one line naming the token
// of the viewer it joins, proven with the key every node shares, and goes to the internal address the
// viewer's node advertised. Used on the setup thread only.
class ClusterLink {
 public:
  // Throws std::runtime_error when the file is unreadable or its key shorter than 16 bytes.
  static ClusterLink fromKeyFile(const std::filesystem::path& keyFile);
  explicit ClusterLink(const std::string& key) : mac_(asBytes(key)) {}

  // "PELLORA-SPLICE <token> <HMAC-SHA-256 of the token, hex>\n"
  std::string greeting(const std::string& token) const;
  // The token that `line` names when it is this cluster's greeting for it; nullopt for anything else.
  std::optional<std::string> provenToken(const std::string& line) const;
  // A node's advertised "HOST:PORT" (IPv6 hosts in brackets) as an endpoint; nullopt when it is not one.
  static std::optional<boost::asio::ip::tcp::endpoint> nodeEndpoint(const std::string& node);

 private:
  mutable PelloraCrypto::HmacSha256 mac_;  // signing resets its state
};

}  // namespace pellora::relay
