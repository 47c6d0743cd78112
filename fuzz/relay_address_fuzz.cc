// What a stranger can make the relay parse about addresses: a PROXY line (from a balancer, or forged), and
// the CIDR lists and HOST:PORT texts that nodes and operators give. Never fails or crashes; whatever parses
// prints back as a range that parses to itself.

#include <cstdlib>
#include <string_view>

#include "relay/address_range.h"
#include "relay/admission.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellora::relay;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ProxyLine line = parseProxyLine(text);
  if (line.source) (void)limitKey(*line.source);
  if (auto ranges = AddressRange::parseList(text)) {
    for (const auto& r : *ranges) {
      auto again = AddressRange::parse(r.text());
      if (!again || !(*again == r)) std::abort();
    }
  }
  std::string host;
  std::uint16_t port = 0;
  (void)splitHostPort(text, host, port);
  return 0;
}
