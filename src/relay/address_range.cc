#include "relay/address_range.h"

#include <charconv>

namespace pellora::relay {

namespace ip = boost::asio::ip;

namespace {

template <typename Bytes>
Bytes masked(Bytes bytes, unsigned prefix) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned bitsHere = prefix > 8 * i ? std::min(8u, prefix - 8 * static_cast<unsigned>(i)) : 0;
    bytes[i] &= static_cast<unsigned char>(0xff00 >> bitsHere);
  }
  return bytes;
}

ip::address maskedAddress(const ip::address& a, unsigned prefix) {
  if (a.is_v4()) return ip::address_v4(masked(a.to_v4().to_bytes(), prefix));
  return ip::address_v6(masked(a.to_v6().to_bytes(), prefix));
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

ip::address unmapped(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) return ip::make_address_v4(ip::v4_mapped, address.to_v6());
  return address;
}

std::optional<AddressRange> AddressRange::parse(std::string_view text) {
  const auto slash = text.find('/');
  boost::system::error_code ec;
  const ip::address address = unmapped(ip::make_address(std::string(text.substr(0, slash)), ec));
  if (ec) return std::nullopt;
  const unsigned bits = address.is_v4() ? 32 : 128;
  unsigned prefix = bits;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (prefix > bits) return std::nullopt;
  }
  AddressRange r;
  r.prefix_ = prefix;
  r.network_ = maskedAddress(address, prefix);
  return r;
}

std::optional<std::vector<AddressRange>> AddressRange::parseList(std::string_view text) {
  std::vector<AddressRange> ranges;
  for (;;) {
    const auto comma = text.find(',');
    auto range = parse(trimmed(text.substr(0, comma)));
    if (!range) return std::nullopt;
    ranges.push_back(*range);
    if (comma == std::string_view::npos) return ranges;
    text.remove_prefix(comma + 1);
  }
}

bool AddressRange::contains(const ip::address& address) const {
  const ip::address a = unmapped(address);
  return a.is_v4() == network_.is_v4() && maskedAddress(a, prefix_) == network_;
}

std::string AddressRange::text() const { return network_.to_string() + "/" + std::to_string(prefix_); }

bool anyContains(const std::vector<AddressRange>& ranges, const ip::address& address) {
  for (const auto& r : ranges)
    if (r.contains(address)) return true;
  return false;
}

std::string limitKey(const ip::address& address) {
  const ip::address a = unmapped(address);
  if (a.is_v4()) return a.to_string();
  return maskedAddress(a, 64).to_string() + "/64";
}

bool splitHostPort(std::string_view text, std::string& host, std::uint16_t& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view h = text.substr(0, colon);
  const bool bracketed = h.size() >= 2 && h.front() == '[' && h.back() == ']';
  if (bracketed) h = h.substr(1, h.size() - 2);
  const std::string_view digits = text.substr(colon + 1);
  std::uint16_t p = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), p);
  if (h.empty() || digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) return false;
  host = std::string(h);
  port = p;
  return true;
}

}  // namespace pellora::relay
