#include "support/sleep_blocker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellora {
namespace {

// Records what the blocker asks of the platform; `works` decides whether an inhibition can be had.
class FakeInhibitor final : public PowerInhibitor {
 public:
  bool works = true;
  std::vector<std::string> reasons;
  std::vector<std::uint32_t> released;

  std::optional<std::uint32_t> inhibit(const std::string& reason) override {
    if (!works) return std::nullopt;
    reasons.push_back(reason);
    return 40 + static_cast<std::uint32_t>(reasons.size());
  }
  void release(std::uint32_t cookie) override { released.push_back(cookie); }
};

TEST(SleepBlocker, HoldsAtMostOneInhibitionAndReleasesItOnce) {
  auto inhibitor = std::make_shared<FakeInhibitor>();
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
  auto inhibitor = std::make_shared<FakeInhibitor>();
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
