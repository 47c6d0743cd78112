#pragma once

#include <string>
#include <vector>

namespace pellora::NetworkInfo {

// Every IPv4 address of an interface that is up and not loopback, link-local addresses (169.254.x.x)
// left out, in the order the system lists them; duplicates stay. Empty when the list cannot be read.
std::vector<std::string> ipv4Addresses();

}  // namespace pellora::NetworkInfo
