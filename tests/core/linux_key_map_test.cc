#include "core/linux_key_map.h"

#include <gtest/gtest.h>

namespace pellora {
namespace {

using namespace LinuxKeyMap;

TEST(LinuxKeyMap, KnownKeysKeypadAndModifiers) {
  EXPECT_EQ(evdevFromHID(4), 30);     // A
  EXPECT_EQ(evdevFromHID(29), 44);    // Z
  EXPECT_EQ(evdevFromHID(39), 11);    // 0
  EXPECT_EQ(evdevFromHID(40), 28);    // Return
  EXPECT_EQ(evdevFromHID(70), 99);    // Print Screen
  EXPECT_EQ(evdevFromHID(88), 96);    // keypad Enter
  EXPECT_EQ(evdevFromHID(98), 82);    // keypad 0
  EXPECT_EQ(evdevFromHID(100), 86);   // Non-US backslash
  EXPECT_EQ(evdevFromHID(225), 42);   // left Shift
  EXPECT_EQ(evdevFromHID(230), 100);  // right Alt
  EXPECT_EQ(evdevFromHID(231), 126);  // right GUI
  EXPECT_EQ(x11FromHID(4), 38);       // evdev code + 8
  EXPECT_EQ(hidFromX11(50), 225);
}

TEST(LinuxKeyMap, UnknownCodesGiveNothing) {
  EXPECT_EQ(evdevFromHID(0), std::nullopt);
  EXPECT_EQ(evdevFromHID(3), std::nullopt);
  EXPECT_EQ(evdevFromHID(232), std::nullopt);
  EXPECT_EQ(evdevFromHID(0xFFFF), std::nullopt);
  EXPECT_EQ(hidFromEvdev(0), std::nullopt);
  EXPECT_EQ(hidFromEvdev(600), std::nullopt);
  EXPECT_EQ(hidFromX11(3), std::nullopt);
  EXPECT_EQ(hidFromX11(0), std::nullopt);
}

// Every usage that has a code comes back from it, except Non-US # which shares the backslash key.
TEST(LinuxKeyMap, RoundTripsAndCoversThePCKeyboard) {
  int mapped = 0;
  for (std::uint16_t usage = 0; usage < 256; ++usage) {
    auto code = x11FromHID(usage);
    if (!code) continue;
    ++mapped;
    EXPECT_LE(*code, 255) << usage;
    if (usage == 50) {
      EXPECT_EQ(hidFromX11(*code), 49);
    } else {
      EXPECT_EQ(hidFromX11(*code), usage) << usage;
    }
  }
  for (std::uint16_t usage = 4; usage <= 101; ++usage) EXPECT_TRUE(evdevFromHID(usage)) << usage;
  for (std::uint16_t usage = 224; usage <= 231; ++usage) EXPECT_TRUE(evdevFromHID(usage)) << usage;
  EXPECT_EQ(mapped, 146);
}

}  // namespace
}  // namespace pellora
