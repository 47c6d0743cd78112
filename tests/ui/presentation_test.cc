#include "ui/presentation.h"

#include <gtest/gtest.h>

namespace pellora::ui {
namespace {

// Two differing entries, and the same twice, are the settings view's test.
TEST(PresentationTest, PermanentPasswordNeedsEightCharactersTwice) {
  EXPECT_FALSE(canSavePermanentPassword("1234567", "1234567"));
  // Characters, not bytes: seven Turkish letters are seven.
  EXPECT_FALSE(canSavePermanentPassword("çğışöüİ", "çğışöüİ"));
  EXPECT_TRUE(canSavePermanentPassword("çğışöüİa", "çğışöüİa"));
  EXPECT_FALSE(showsPasswordMismatch("12345678", "")) << "not before the second entry is begun";
}

// Trimming and refusing what does not parse are the Connect tab's test.
TEST(PresentationTest, ADiscoveredNameWinsOverTheIdItLooksLike) {
  const std::vector<ServiceEndpoint> nearby{{"123456789", "192.168.1.20", 7171}, {"studio", "192.168.1.21", 7171}};
  // A name that would parse as a relay id connects to the device that carries it.
  auto target = connectTarget("123456789", nearby);
  ASSERT_TRUE(target);
  EXPECT_EQ(target->value, (decltype(target->value){ViewerTarget::Bonjour{"123456789", nearby[0]}}));
}

TEST(PresentationTest, AutoConnectSplitsAtTheFirstBar) {
  EXPECT_FALSE(parseAutoConnect(nullptr));
  EXPECT_FALSE(parseAutoConnect("10.0.0.5"));
  EXPECT_FALSE(parseAutoConnect("two words|secret"));
  const auto request = parseAutoConnect("10.0.0.5|pa|ss ");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->target.value, (decltype(request->target.value){ViewerTarget::Direct{"10.0.0.5", 7171}}));
  EXPECT_EQ(request->password, "pa|ss ");
}

}  // namespace
}  // namespace pellora::ui
