// What the app reads from and asks of the system: its interface addresses, the user's folders, and the
// inhibition that keeps the display awake during a session.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <deque>
#include <fstream>

#include "base/process_queues.h"
#include "support/fake_power_inhibitor.h"
#include "support/file_names_directory.h"
#include "support/network_info.h"
#include "support/paths.h"
#include "support/scoped_env.h"
#include "support/sleep_blocker.h"
#include "support/temp_dir.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

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

TEST(Paths, XdgVariablesWinUnlessRelative) {
  ScopedEnv env;
  env.set("HOME", "/home/ayse");
  env.set("XDG_CONFIG_HOME", "/cfg");
  env.set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_EQ(Paths::configHome(), "/cfg");
  EXPECT_EQ(Paths::dataHome(), "/home/ayse/.local/share");
}

TEST(Paths, DownloadFolderFromUserDirs) {
  const test::TempDir folder("pellora-paths");
  const fs::path cfg = folder.path;
  ScopedEnv env;
  env.set("HOME", "/home/ayse");
  env.set("XDG_CONFIG_HOME", cfg.c_str());
  EXPECT_EQ(Paths::downloadDir(), "/home/ayse/Downloads") << "no user-dirs.dirs";
  std::ofstream(cfg / "user-dirs.dirs") << "# comment\nXDG_DESKTOP_DIR=\"$HOME/Masaüstü\"\n"
                                           "XDG_DOWNLOAD_DIR=\"$HOME/İndirilenler\"\n";
  EXPECT_EQ(Paths::downloadDir(), "/home/ayse/İndirilenler");
  EXPECT_EQ(FileNames::defaultDirectory(), "/home/ayse/İndirilenler/Pellora");
}

// The blocker's calls run on the power queue: each check waits for the queue first.
TEST(SleepBlocker, HoldsAtMostOneInhibitionAndReleasesItOnce) {
  auto inhibitor = std::make_shared<FakePowerInhibitor>();
  const auto settled = [] { powerQueue().waitUntilIdle(); };
  {
    SleepBlocker blocker(inhibitor);
    blocker.end();  // without begin: nothing to release
    inhibitor->works = false;  // the display cannot be kept awake: nothing held, and nothing to release
    blocker.begin();
    settled();
    EXPECT_EQ(inhibitor->held(), 0);
    blocker.end();
    settled();
    EXPECT_TRUE(inhibitor->released.empty());
    inhibitor->works = true;  // e.g. the desktop's service came up: the next begin succeeds

    blocker.begin();
    blocker.begin();
    settled();
    EXPECT_EQ(inhibitor->held(), 1);
    blocker.end();
    blocker.end();
    settled();
    EXPECT_EQ(inhibitor->released, std::vector<std::uint32_t>{41});

    blocker.begin();  // the next session
  }
  // Destroyed while active: the second inhibition is released too.
  settled();
  EXPECT_EQ(inhibitor->released, (std::vector<std::uint32_t>{41, 42}));
}

}  // namespace
}  // namespace pellora
