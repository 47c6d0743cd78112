#include "relay/cluster_link.h"

#include <gtest/gtest.h>

namespace pellora::relay {
namespace {

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

TEST(ClusterLink, AdvertisedNodeAddresses) {
  EXPECT_EQ(ClusterLink::nodeEndpoint("10.0.0.7:8271")->port(), 8271);
  const auto v6 = ClusterLink::nodeEndpoint("[::1]:8271");
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->address().is_v6());
  for (const char* bad : {"", "10.0.0.7", "10.0.0.7:0", "node.example:8271", "[::1]", "::1:8271x"})
    EXPECT_FALSE(ClusterLink::nodeEndpoint(bad)) << bad;
}

}  // namespace
}  // namespace pellora::relay
