#include "relay/rate_limiter.h"

#include <gtest/gtest.h>

namespace pellora::relay {
namespace {

TEST(RateLimiter, CountsPerAddressAndWindow) {
  RateLimiter limit(2);
  auto t0 = RateLimiter::Clock::now();
  EXPECT_TRUE(limit.allow("a", t0));
  EXPECT_TRUE(limit.allow("a", t0));
  EXPECT_FALSE(limit.allow("a", t0 + std::chrono::seconds(59)));
  EXPECT_TRUE(limit.allow("b", t0)) << "addresses are counted apart";
  EXPECT_TRUE(limit.allow("a", t0 + std::chrono::seconds(60))) << "a new window";
}

TEST(RateLimiter, MemoryStaysBoundedUnderManyAddresses) {
  RateLimiter limit(1, 100);
  auto t0 = RateLimiter::Clock::now();
  for (int i = 0; i < 10'000; ++i) {
    EXPECT_TRUE(limit.allow("10.0." + std::to_string(i), t0));
    ASSERT_LE(limit.trackedAddresses(), 100u);
  }
  // Once their window has passed, old addresses make room before anything is forgotten early.
  RateLimiter aging(1, 3);
  aging.allow("a", t0);
  aging.allow("b", t0 + std::chrono::seconds(30));
  aging.allow("c", t0 + std::chrono::seconds(30));
  EXPECT_TRUE(aging.allow("d", t0 + std::chrono::seconds(61)));
  EXPECT_FALSE(aging.allow("b", t0 + std::chrono::seconds(62))) << "b's window still runs";
}

}  // namespace
}  // namespace pellora::relay
