#include "core/relay_identity.h"

#include <gtest/gtest.h>

#include "support/test_vectors.h"

namespace pellora {
namespace {

TEST(RelayIdentity, DisplayIdInGroupsOfThree) {
  EXPECT_EQ((RelayIdentity{"123456789", ""}).displayID(), "123 456 789");
  EXPECT_EQ((RelayIdentity{"1234567", ""}).displayID(), "123 456 7");
  EXPECT_EQ((RelayIdentity{"", ""}).displayID(), "");
  const auto& relay = test::wireVectors().at("relay").as_object();
  if (const auto* cases = relay.if_contains("displayID")) {
    for (const auto& c : cases->as_array()) {
      const auto& o = c.as_object();
      EXPECT_EQ((RelayIdentity{std::string(o.at("id").as_string()), ""}).displayID(), o.at("display").as_string());
    }
  }
}

TEST(RelayIdentity, JsonRoundTripAndRejects) {
  RelayIdentity id{"123456789", "abc"};
  EXPECT_EQ(RelayIdentity::fromJSON(id.toJSON()), id);
  EXPECT_EQ(RelayIdentity::fromJSON(R"({"id":"1","secret":"s","extra":1})"), (RelayIdentity{"1", "s"}));
  for (const char* bad : {"", "[]", R"({"id":"1"})", R"({"id":1,"secret":"s"})", "{"})
    EXPECT_EQ(RelayIdentity::fromJSON(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace pellora
