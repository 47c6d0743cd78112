#pragma once

#include <string>
#include <vector>

struct ifaddrs;

namespace pellora::NetworkInfo {

// Every IPv4 address of an interface that is up and not loopback, link-local addresses (169.254.x.x)
// left out, in the order the system lists them; duplicates stay. Empty when the list cannot be read.
std::vector<std::string> ipv4Addresses();

// This computer's name as others see it: the host name, or "Linux" when it has none.
std::string computerName();

// The same selection over an interface address list as getifaddrs returns it (nullptr: empty).
std::vector<std::string> ipv4AddressesOf(const ifaddrs* list);

}  // namespace pellora::NetworkInfo
