#include "support/sleep_blocker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_power_inhibitor.h"

namespace pellora {
namespace {

TEST(SleepBlocker, HoldsAtMostOneInhibitionAndReleasesItOnce) {
  auto inhibitor = std::make_shared<FakePowerInhibitor>();
  {
    SleepBlocker blocker(inhibitor);
    blocker.end();  // without begin: nothing to release
    EXPECT_TRUE(inhibitor->released.empty());

    blocker.begin();
    blocker.begin();
    EXPECT_TRUE(blocker.active());
    EXPECT_EQ(inhibitor->reasons, std::vector<std::string>{"Pellora uzak oturum"});
    blocker.end();
    blocker.end();
    EXPECT_FALSE(blocker.active());
    EXPECT_EQ(inhibitor->released, std::vector<std::uint32_t>{41});

    blocker.begin();  // the next session
  }
  // Destroyed while active: the second inhibition is released too.
  EXPECT_EQ(inhibitor->released, (std::vector<std::uint32_t>{41, 42}));
}

TEST(SleepBlocker, StaysInactiveWhenTheDisplayCannotBeKeptAwake) {
  auto inhibitor = std::make_shared<FakePowerInhibitor>();
  inhibitor->works = false;
  SleepBlocker blocker(inhibitor);
  blocker.begin();
  EXPECT_FALSE(blocker.active());
  blocker.end();
  EXPECT_TRUE(inhibitor->released.empty());

  inhibitor->works = true;  // e.g. the desktop's service came up: the next begin succeeds
  blocker.begin();
  EXPECT_TRUE(blocker.active());
}

}  // namespace
}  // namespace pellora
