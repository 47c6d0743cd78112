#include "ui/presentation.h"

#include <gtest/gtest.h>

namespace pellora::ui {
namespace {

using Relay = HostService::RelayState;

TEST(PresentationTest, BadgeTakesTheFirstMatchingRow) {
  HostService::State state;
  EXPECT_EQ(hostBadge(state, true), (Badge{"Paylaşım kapalı", Tone::off}));
  state.isSharing = true;
  EXPECT_EQ(hostBadge(state, true), (Badge{"Yerel paylaşım etkin", Tone::online}));
  state.relayState.value = Relay::Connecting{};
  EXPECT_EQ(hostBadge(state, true), (Badge{"İnternete bağlanıyor", Tone::connecting}));
  state.relayState.value = Relay::Failed{"x"};
  EXPECT_EQ(hostBadge(state, true), (Badge{"İnternet erişimi yok", Tone::error}));
  state.relayState.value = Relay::Online{{"123456789", "s"}};
  EXPECT_EQ(hostBadge(state, true), (Badge{"İnternetten erişilebilir", Tone::online}));
  state.active = HostService::ActiveSession{"id", "vm", "10.0.0.2", {}};
  EXPECT_EQ(hostBadge(state, true), (Badge{"Oturum açık", Tone::online}));
  EXPECT_EQ(hostBadge(state, false), (Badge{"İzin gerekli", Tone::connecting}));
}

TEST(PresentationTest, PermanentPasswordNeedsEightCharactersTwice) {
  EXPECT_FALSE(canSavePermanentPassword("1234567", "1234567"));
  EXPECT_TRUE(canSavePermanentPassword("12345678", "12345678"));
  EXPECT_FALSE(canSavePermanentPassword("12345678", "12345679"));
  // Characters, not bytes: seven Turkish letters are seven.
  EXPECT_FALSE(canSavePermanentPassword("çğışöüİ", "çğışöüİ"));
  EXPECT_TRUE(canSavePermanentPassword("çğışöüİa", "çğışöüİa"));
  EXPECT_FALSE(showsPasswordMismatch("12345678", ""));
  EXPECT_TRUE(showsPasswordMismatch("12345678", "1"));
  EXPECT_FALSE(showsPasswordMismatch("12345678", "12345678"));
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
