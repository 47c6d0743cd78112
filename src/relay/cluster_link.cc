#include "relay/cluster_link.h"

#include <fstream>
#include <stdexcept>

#include "relay/address_range.h"

namespace pellora::relay {

namespace {
constexpr std::string_view kGreeting = "PELLORA-SPLICE ";
}

ClusterLink ClusterLink::fromKeyFile(const std::filesystem::path& keyFile) {
  std::ifstream in(keyFile);
  std::string key;
  std::getline(in, key);
  if (key.size() < 16)
    throw std::runtime_error("cluster key file " + keyFile.string() + " is unreadable or shorter than 16 bytes");
  return ClusterLink(key);
}

std::string ClusterLink::greeting(const std::string& token) const {
  return std::string(kGreeting) + token + " " + hexString(mac_.sign(asBytes(token))) + "\n";
}

std::optional<std::string> ClusterLink::provenToken(const std::string& line) const {
  const auto first = line.find(' '), second = line.rfind(' ');
  if (!line.starts_with(kGreeting) || first == second) return std::nullopt;
  std::string token = line.substr(first + 1, second - first - 1);
  const std::string expected = greeting(token);
  if (!PelloraCrypto::constantTimeEqual(asBytes(line), asBytes(expected))) return std::nullopt;
  return token;
}

std::optional<boost::asio::ip::tcp::endpoint> ClusterLink::nodeEndpoint(const std::string& node) {
  std::string host;
  std::uint16_t port = 0;
  if (!splitHostPort(node, host, port) || port == 0) return std::nullopt;
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(host, ec);
  if (ec) return std::nullopt;
  return boost::asio::ip::tcp::endpoint(address, port);
}

}  // namespace pellora::relay
