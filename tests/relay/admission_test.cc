// Who the relay lets in: address ranges, PROXY lines, rate limits and the cluster nodes' greeting.

#include <gtest/gtest.h>

#include "relay/address_range.h"
#include "relay/admission.h"
#include "relay/cluster_link.h"
#include "relay/rate_limiter.h"

namespace pellora::relay {
namespace {

namespace ip = boost::asio::ip;
using std::chrono::seconds;

TEST(AddressRange, ParsesNetworksAndMatchesAddresses) {
  struct Case {
    const char* range;
    const char* inside;
    const char* outside;
    const char* text;
  };
  for (const Case& c : {Case{"192.0.2.77/24", "192.0.2.1", "192.0.3.1", "192.0.2.0/24"},  // host bits ignored
                        Case{"0.0.0.0/0", "203.0.113.9", "::1", "0.0.0.0/0"},
                        Case{"2001:db8:0:1::/63", "2001:db8:0:0::5", "2001:db8:0:2::1", "2001:db8::/63"},
                        Case{"::1", "::1", "::2", "::1/128"},
                        Case{"::ffff:192.0.2.0/24", "192.0.2.200", "192.0.1.1", "192.0.2.0/24"},
                        Case{"192.0.2.0/24", "::ffff:192.0.2.9", "::ffff:192.0.1.9", "192.0.2.0/24"}}) {
    auto r = AddressRange::parse(c.range);
    ASSERT_TRUE(r) << c.range;
    EXPECT_TRUE(r->contains(ip::make_address(c.inside))) << c.range << " " << c.inside;
    EXPECT_FALSE(r->contains(ip::make_address(c.outside))) << c.range << " " << c.outside;
    EXPECT_EQ(r->text(), c.text);
  }
  for (const char* bad : {"", "/8", "10.0.0.0/", "10.0.0.0/33", "::/129", "10.0.0.0/+8", "10.0.0.0/ 8",
                          "10.0.0.0/8/8", "10.0.0", "example.org", "10.0.0.0/0008", "[::1]", "10.0.0.0/-1"})
    EXPECT_FALSE(AddressRange::parse(bad)) << bad;

  auto list = AddressRange::parseList("10.0.0.0/8, 2001:db8::/32");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->size(), 2u);
  EXPECT_TRUE(anyContains(*list, ip::make_address("2001:db8::5")));
  EXPECT_FALSE(anyContains(*list, ip::make_address("127.0.0.1")));
  EXPECT_FALSE(AddressRange::parseList("10.0.0.0/8,"));
  EXPECT_FALSE(AddressRange::parseList(""));
}

TEST(AddressRange, LimitKeysGroupV6ByItsSlash64) {
  EXPECT_EQ(limitKey(ip::make_address("192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(limitKey(ip::make_address("::ffff:192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(limitKey(ip::make_address("2001:db8:1:2:aaaa::1")), limitKey(ip::make_address("2001:db8:1:2:ffff::9")))
      << "one /64";
  EXPECT_NE(limitKey(ip::make_address("2001:db8:1:2::1")), limitKey(ip::make_address("2001:db8:1:3::1")));
}

// TCP4 lines are what the balancers in the hostile and cluster process tests send.
TEST(ProxyLine, NamesTheClientOrIsRefused) {
  auto v6 = parseProxyLine("PROXY TCP6 2001:db8::7 2001:db8::1 40000 8270\r\n");
  EXPECT_EQ(v6.source, ip::make_address("2001:db8::7"));
  auto unknown = parseProxyLine("PROXY UNKNOWN\r\n");
  EXPECT_TRUE(unknown.valid && !unknown.source);
  for (const char* bad : {"PROXY TCP4 192.0.2.7 10.0.0.1 40000 8270\n", "PROXY TCP4 2001:db8::7 ::1 1 2\r\n",
                          "PROXY TCP6 192.0.2.7 10.0.0.1 1 2\r\n", "PROXY TCP4 192.0.2.7\r\n",
                          "PROXY TCP4 x 10.0.0.1 1 2\r\n", "PROXY UDP4 192.0.2.7 10.0.0.1 1 2\r\n",
                          "GET / HTTP/1.1\r\n", "PROXY TCP4 192.0.2.7 10.0.0.1 1 2 3\r\n"})
    EXPECT_FALSE(parseProxyLine(bad).valid) << bad;
  EXPECT_FALSE(parseProxyLine("PROXY TCP4 192.0.2.7 10.0.0.1 1 " + std::string(100, '2') + "\r\n").valid);
}

TEST(RateLimiter, CountsPerKeyAndWindow) {
  RateLimiter limit(2);
  auto t0 = RateLimiter::Clock::now();
  EXPECT_TRUE(limit.allow("a", t0));
  EXPECT_TRUE(limit.allow("a", t0));
  EXPECT_FALSE(limit.allow("a", t0 + seconds(59)));
  EXPECT_TRUE(limit.allow("b", t0)) << "keys are counted apart";
  EXPECT_TRUE(limit.allow("a", t0 + seconds(60))) << "a new window";
  EXPECT_TRUE(limit.allow("a", t0 + seconds(60)));
  EXPECT_FALSE(limit.allow("a", t0 + seconds(61)));
}

// A flood of fresh keys (150,000 addresses against a table of 100,000) stays within the table and never
// lifts the limit of a key that spent its budget, nor forgets a client half way through its budget before
// the flood's own keys.
TEST(RateLimiter, FloodOfKeysEvictsItsOwnEntriesFirst) {
  RateLimiter limit(3, 100'000);
  auto t0 = RateLimiter::Clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(limit.allow("attacker", t0));
  ASSERT_FALSE(limit.allow("attacker", t0));
  for (int i = 0; i < 150'000; ++i) {
    ASSERT_TRUE(limit.allow("flood " + std::to_string(i), t0 + seconds(1)));
    ASSERT_LE(limit.trackedKeys(), 100'000u);
  }
  EXPECT_FALSE(limit.allow("attacker", t0 + seconds(2))) << "the exhausted key is still limited";
  EXPECT_TRUE(limit.allow("attacker", t0 + seconds(61))) << "until its window ends";

  // When every tracked key is exhausted, the one that ran out longest ago makes room; ended windows first.
  RateLimiter full(1, 2);
  EXPECT_TRUE(full.allow("a", t0));
  EXPECT_TRUE(full.allow("b", t0 + seconds(30)));
  EXPECT_TRUE(full.allow("c", t0 + seconds(40)));  // evicts a
  EXPECT_FALSE(full.allow("b", t0 + seconds(41)));
  EXPECT_FALSE(full.allow("c", t0 + seconds(41)));
  EXPECT_EQ(full.trackedKeys(), 2u);
  EXPECT_TRUE(full.allow("d", t0 + seconds(91)));  // b's window has ended: b goes, c stays limited
  EXPECT_FALSE(full.allow("c", t0 + seconds(92)));
}

TEST(ClusterLink, OnlyThisClustersGreetingNamesAToken) {
  const ClusterLink link("a key of sixteen bytes or more");
  const std::string line = link.greeting("0123abcd");
  EXPECT_EQ(link.provenToken(line), "0123abcd");
  std::string otherToken = line;
  otherToken.replace(otherToken.find("0123"), 4, "9999");
  const std::string truncated = line.substr(0, line.size() - 3) + "\n";
  for (const std::string& forged : {ClusterLink("another cluster's key").greeting("0123abcd"), otherToken, truncated,
                                    std::string("PELLORA-SPLICE 0123abcd\n"), std::string(), std::string("OK\n")})
    EXPECT_FALSE(link.provenToken(forged)) << forged;
}

// Node addresses come from the registry: the cluster process tests join splices through good ones, over
// IPv4 and IPv6; here the host:port mistakes.
TEST(ClusterLink, AdvertisedNodeAddressesThatDoNotParse) {
  for (const char* bad : {"", "10.0.0.7", "10.0.0.7:0", "node.example:8271", "[::1]", "::1:8271x", "10.0.0.7:65536",
                          "[]:80", "x:8o"})
    EXPECT_FALSE(ClusterLink::nodeEndpoint(bad)) << bad;
}

}  // namespace
}  // namespace pellora::relay
