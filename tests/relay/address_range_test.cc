#include "relay/address_range.h"

#include <gtest/gtest.h>

#include "relay/admission.h"

namespace pellora::relay {
namespace {

namespace ip = boost::asio::ip;

TEST(AddressRange, ParsesNetworksAndMatchesAddresses) {
  struct Case {
    const char* range;
    const char* inside;
    const char* outside;
    const char* text;
  };
  for (const Case& c : {Case{"10.0.0.0/8", "10.255.1.2", "11.0.0.1", "10.0.0.0/8"},
                        Case{"192.0.2.77/24", "192.0.2.1", "192.0.3.1", "192.0.2.0/24"},  // host bits ignored
                        Case{"192.0.2.7", "192.0.2.7", "192.0.2.8", "192.0.2.7/32"},
                        Case{"0.0.0.0/0", "203.0.113.9", "::1", "0.0.0.0/0"},
                        Case{"2001:db8::/32", "2001:db8:ffff::1", "2001:db9::1", "2001:db8::/32"},
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

TEST(AddressRange, LimitKeysAndHostPorts) {
  EXPECT_EQ(limitKey(ip::make_address("192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(limitKey(ip::make_address("::ffff:192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(limitKey(ip::make_address("2001:db8:1:2:aaaa::1")), limitKey(ip::make_address("2001:db8:1:2:ffff::9")))
      << "one /64";
  EXPECT_NE(limitKey(ip::make_address("2001:db8:1:2::1")), limitKey(ip::make_address("2001:db8:1:3::1")));

  std::string host;
  std::uint16_t port = 0;
  EXPECT_TRUE(splitHostPort("[::1]:8271", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 8271);
  EXPECT_TRUE(splitHostPort("10.0.0.7:80", host, port));
  EXPECT_EQ(host, "10.0.0.7");
  for (const char* bad : {"", ":80", "10.0.0.7", "10.0.0.7:", "10.0.0.7:65536", "[]:80", "x:8o"})
    EXPECT_FALSE(splitHostPort(bad, host, port)) << bad;
}

TEST(ProxyLine, NamesTheClientOrIsRefused) {
  auto v4 = parseProxyLine("PROXY TCP4 192.0.2.7 10.0.0.1 40000 8270\r\n");
  EXPECT_TRUE(v4.valid);
  EXPECT_EQ(v4.source, ip::make_address("192.0.2.7"));
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

}  // namespace
}  // namespace pellora::relay
