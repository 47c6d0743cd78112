#include "relay/rate_limiter.h"

#include <gtest/gtest.h>

namespace pellora::relay {
namespace {

using std::chrono::seconds;

TEST(RateLimiter, CountsPerKeyAndWindow) {
  RateLimiter limit(2);
  auto t0 = RateLimiter::Clock::now();
  EXPECT_TRUE(limit.allow("a", t0));
  EXPECT_TRUE(limit.allow("a", t0));
  EXPECT_FALSE(limit.allow("a", t0 + seconds(59)));
  EXPECT_TRUE(limit.allow("b", t0)) << "keys are counted apart";
  EXPECT_TRUE(limit.allow("a", t0 + seconds(60))) << "a new window";
  EXPECT_TRUE(limit.allow("a", t0 + seconds(60)));
  EXPECT_FALSE(limit.allow("a", t0 + seconds(61)));
}

// A flood of fresh keys (150,000 addresses against a table of 100,000) stays within the table and never
// lifts the limit of a key that spent its budget, nor forgets a client half way through its budget before
// the flood's own keys.
TEST(RateLimiter, FloodOfKeysEvictsItsOwnEntriesFirst) {
  RateLimiter limit(3, 100'000);
  auto t0 = RateLimiter::Clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(limit.allow("attacker", t0));
  ASSERT_FALSE(limit.allow("attacker", t0));
  for (int i = 0; i < 150'000; ++i) {
    ASSERT_TRUE(limit.allow("flood " + std::to_string(i), t0 + seconds(1)));
    ASSERT_LE(limit.trackedKeys(), 100'000u);
  }
  EXPECT_FALSE(limit.allow("attacker", t0 + seconds(2))) << "the exhausted key is still limited";
  EXPECT_TRUE(limit.allow("attacker", t0 + seconds(61))) << "until its window ends";

  // When every tracked key is exhausted, the one that ran out longest ago makes room; ended windows first.
  RateLimiter full(1, 2);
  EXPECT_TRUE(full.allow("a", t0));
  EXPECT_TRUE(full.allow("b", t0 + seconds(30)));
  EXPECT_TRUE(full.allow("c", t0 + seconds(40)));  // evicts a
  EXPECT_FALSE(full.allow("b", t0 + seconds(41)));
  EXPECT_FALSE(full.allow("c", t0 + seconds(41)));
  EXPECT_EQ(full.trackedKeys(), 2u);
  EXPECT_TRUE(full.allow("d", t0 + seconds(91)));  // b's window has ended: b goes, c stays limited
  EXPECT_FALSE(full.allow("c", t0 + seconds(92)));
}

}  // namespace
}  // namespace pellora::relay
