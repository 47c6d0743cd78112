#include "support/network_info.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include <memory>

namespace pellora::NetworkInfo {

namespace {

struct IfaddrsDeleter {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

}  // namespace

std::vector<std::string> ipv4AddressesOf(const ifaddrs* list) {
  std::vector<std::string> addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    char host[1025];
    if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    std::string text(host);
    if (text.starts_with("169.254.")) continue;  // link-local: unreachable from other networks
    addresses.push_back(std::move(text));
  }
  return addresses;
}

std::vector<std::string> ipv4Addresses() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return {};
  std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);
  return ipv4AddressesOf(list.get());
}

std::string computerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
  return "Linux";
}

}  // namespace pellora::NetworkInfo
