#include "core/key_map.h"
#include "core/linux_key_map.h"

#include <gtest/gtest.h>

#include <set>

namespace pellora {
namespace {

using namespace KeyMap;

// The two keys an ISO keyboard swaps: each flag gives the other usage, and every direction round-trips.
TEST(KeyMap, IsoKeysSwapPlacesAndRoundTrip) {
  for (bool iso : {false, true})
    for (std::uint16_t code : {10, 50}) {
      const auto usage = hidFromMac(code, iso);
      ASSERT_TRUE(usage) << code;
      EXPECT_EQ(macFromHID(*usage, iso), code) << code;
      EXPECT_NE(hidFromMac(code, !iso), usage) << code;
    }
}

TEST(KeyMap, TableIsABijection) {
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
  EXPECT_EQ(codes.size(), usages.size());
  EXPECT_FALSE(usages.count(50) || usages.count(53) || usages.count(100));
  EXPECT_EQ(macFromHID(50, false), std::nullopt);  // Non-US # has no Mac key
  EXPECT_EQ(macFromHID(1000, false), std::nullopt);
}

// Every usage that has a code comes back from it, except Non-US # which shares the backslash key.
TEST(LinuxKeyMap, RoundTripsAndCoversThePCKeyboard) {
  for (std::uint16_t usage = 0; usage < 256; ++usage) {
    auto code = LinuxKeyMap::x11FromHID(usage);
    if (!code) continue;
    EXPECT_LE(*code, 255) << usage;
    if (usage == 50) {
      EXPECT_EQ(LinuxKeyMap::hidFromX11(*code), 49);
    } else {
      EXPECT_EQ(LinuxKeyMap::hidFromX11(*code), usage) << usage;
    }
  }
  for (std::uint16_t usage = 4; usage <= 101; ++usage) EXPECT_TRUE(LinuxKeyMap::evdevFromHID(usage)) << usage;
  for (std::uint16_t usage = 224; usage <= 231; ++usage) EXPECT_TRUE(LinuxKeyMap::evdevFromHID(usage)) << usage;
  for (std::uint16_t usage : {0, 3, 232, 0xFFFF}) EXPECT_EQ(LinuxKeyMap::evdevFromHID(usage), std::nullopt) << usage;
  for (std::uint16_t code : {0, 3, 600}) EXPECT_EQ(LinuxKeyMap::hidFromX11(code), std::nullopt) << code;
}

}  // namespace
}  // namespace pellora
