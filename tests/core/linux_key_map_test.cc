#include "core/linux_key_map.h"

#include <gtest/gtest.h>

namespace pellora {
namespace {

using namespace LinuxKeyMap;

// Every usage that has a code comes back from it, except Non-US # which shares the backslash key.
TEST(LinuxKeyMap, RoundTripsAndCoversThePCKeyboard) {
  for (std::uint16_t usage = 0; usage < 256; ++usage) {
    auto code = x11FromHID(usage);
    if (!code) continue;
    EXPECT_LE(*code, 255) << usage;
    if (usage == 50) {
      EXPECT_EQ(hidFromX11(*code), 49);
    } else {
      EXPECT_EQ(hidFromX11(*code), usage) << usage;
    }
  }
  for (std::uint16_t usage = 4; usage <= 101; ++usage) EXPECT_TRUE(evdevFromHID(usage)) << usage;
  for (std::uint16_t usage = 224; usage <= 231; ++usage) EXPECT_TRUE(evdevFromHID(usage)) << usage;
  for (std::uint16_t usage : {0, 3, 232, 0xFFFF}) EXPECT_EQ(evdevFromHID(usage), std::nullopt) << usage;
  for (std::uint16_t code : {0, 3, 600}) EXPECT_EQ(hidFromX11(code), std::nullopt) << code;
}

}  // namespace
}  // namespace pellora
