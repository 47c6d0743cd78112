#include "core/key_map.h"

#include <gtest/gtest.h>

#include <set>

namespace pellora {
namespace {

using namespace KeyMap;

TEST(KeyMap, IsoKeysSwapPlaces) {
  EXPECT_EQ(hidFromMac(10, true), 53);
  EXPECT_EQ(hidFromMac(10, false), 100);
  EXPECT_EQ(hidFromMac(50, true), 100);
  EXPECT_EQ(hidFromMac(50, false), 53);
  EXPECT_EQ(macFromHID(53, true), 10);
  EXPECT_EQ(macFromHID(53, false), 50);
  EXPECT_EQ(macFromHID(100, true), 50);
  EXPECT_EQ(macFromHID(100, false), 10);
}

TEST(KeyMap, HostOnlyUsagesLandOnF13ToF15) {
  EXPECT_EQ(macFromHID(70, false), 105);
  EXPECT_EQ(macFromHID(71, false), 107);
  EXPECT_EQ(macFromHID(72, false), 113);
  EXPECT_EQ(macFromHID(104, false), 105);  // F13 itself
}

TEST(KeyMap, TableIsABijectionOf117Pairs) {
  std::set<std::uint16_t> codes, usages;
  for (std::uint16_t code = 0; code < 256; ++code) {
    if (code == 10 || code == 50) continue;  // handled by the ISO rule
    auto usage = hidFromMac(code, false);
    if (!usage) continue;
    codes.insert(code);
    usages.insert(*usage);
    EXPECT_EQ(macFromHID(*usage, false), code) << "round trip of " << code;
    EXPECT_EQ(hidFromMac(code, true), usage) << "ISO flag only affects 10 and 50";
  }
  EXPECT_EQ(codes.size(), 117u);
  EXPECT_EQ(usages.size(), 117u);
  EXPECT_FALSE(usages.count(50) || usages.count(53) || usages.count(100));
  EXPECT_EQ(macFromHID(50, false), std::nullopt);  // Non-US # has no Mac key
  EXPECT_EQ(macFromHID(1000, false), std::nullopt);
}

}  // namespace
}  // namespace pellora
