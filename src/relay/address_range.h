#pragma once

#include <boost/asio/ip/address.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellora::relay {

// An IPv4 or IPv6 network written as CIDR ("10.0.0.0/8", "2001:db8::/32"); a bare address is a network of
// one. Host bits below the prefix are ignored. IPv4 addresses that arrive mapped into IPv6 (a dual-stack
// listener's "::ffff:192.0.2.7") are matched as the IPv4 address they carry.
class AddressRange {
 public:
  static std::optional<AddressRange> parse(std::string_view text);
  // "CIDR,CIDR,..." (spaces around the commas allowed); nullopt when any item is not a range, or none is given.
  static std::optional<std::vector<AddressRange>> parseList(std::string_view text);

  bool contains(const boost::asio::ip::address& address) const;
  std::string text() const;  // "192.0.2.0/24"
  bool operator==(const AddressRange&) const = default;

 private:
  boost::asio::ip::address network_;
  unsigned prefix_ = 0;
};

bool anyContains(const std::vector<AddressRange>& ranges, const boost::asio::ip::address& address);

// An IPv4-mapped IPv6 address as the IPv4 address it carries; any other address unchanged.
boost::asio::ip::address unmapped(const boost::asio::ip::address& address);

// The key that limits count a client under: its IPv4 address, or the /64 network of its IPv6 address
// (one subscriber commonly holds a whole /64, so counting full addresses would give it 2^64 budgets).
std::string limitKey(const boost::asio::ip::address& address);

// "HOST:PORT" or "[V6]:PORT" into its host (without brackets) and a port; false when it is neither.
bool splitHostPort(std::string_view text, std::string& host, std::uint16_t& port);

}  // namespace pellora::relay
