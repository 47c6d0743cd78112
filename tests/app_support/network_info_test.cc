#include "support/network_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <deque>

namespace pellora {
namespace {

// An interface address list built by hand, linked like the one getifaddrs returns.
class AddressList {
 public:
  void add(const char* name, const char* ipv4, unsigned flags) {
    sockaddr_in& a = addresses_.emplace_back();
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ipv4, &a.sin_addr);
    append(name, reinterpret_cast<sockaddr*>(&a), flags);
  }
  void addIPv6(const char* name, const char* ipv6, unsigned flags) {
    sockaddr_in6& a = addresses6_.emplace_back();
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, ipv6, &a.sin6_addr);
    append(name, reinterpret_cast<sockaddr*>(&a), flags);
  }
  void addWithoutAddress(const char* name, unsigned flags) { append(name, nullptr, flags); }
  const ifaddrs* head() const { return entries_.empty() ? nullptr : &entries_.front(); }

 private:
  void append(const char* name, sockaddr* address, unsigned flags) {
    ifaddrs& e = entries_.emplace_back();
    e.ifa_name = const_cast<char*>(name);
    e.ifa_addr = address;
    e.ifa_flags = flags;
    if (entries_.size() > 1) entries_[entries_.size() - 2].ifa_next = &e;
  }
  // Deques: elements never move, so the links stay valid.
  std::deque<ifaddrs> entries_;
  std::deque<sockaddr_in> addresses_;
  std::deque<sockaddr_in6> addresses6_;
};

TEST(NetworkInfo, ListsUpNonLoopbackIPv4AddressesInOrderWithDuplicates) {
  AddressList list;
  list.add("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK);
  list.add("eth0", "192.168.1.20", IFF_UP);
  list.addIPv6("eth0", "fe80::1", IFF_UP);
  list.add("eth1", "169.254.10.2", IFF_UP);
  list.add("eth2", "10.0.0.9", 0);  // down
  list.addWithoutAddress("tun0", IFF_UP);
  list.add("wlan0", "10.169.254.1", IFF_UP);
  list.add("eth0:1", "192.168.1.20", IFF_UP);
  EXPECT_EQ(NetworkInfo::ipv4AddressesOf(list.head()),
            (std::vector<std::string>{"192.168.1.20", "10.169.254.1", "192.168.1.20"}));
  EXPECT_TRUE(NetworkInfo::ipv4AddressesOf(nullptr).empty());
}

}  // namespace
}  // namespace pellora
