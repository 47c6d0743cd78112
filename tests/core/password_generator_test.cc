#include "core/password_generator.h"

#include <gtest/gtest.h>

#include "support/hex.h"
#include "support/test_vectors.h"

namespace pellora {
namespace {

TEST(PasswordGenerator, VectorFromFixedRandomBytes) {
  const auto& v = test::wireVectors().at("passwordGenerator").as_object();
  const Bytes random = test::fromHex(v.at("randomBytes").as_string());
  const int length = static_cast<int>(v.at("length").as_int64());
  std::size_t drawn = 0;
  auto source = [&](std::size_t count) {
    EXPECT_EQ(count, 2u * length);
    Bytes out(random.begin() + static_cast<long>(drawn), random.begin() + static_cast<long>(drawn + count));
    drawn += count;
    return out;
  };
  EXPECT_EQ(PasswordGenerator::make(length, source), v.at("result").as_string());
}

TEST(PasswordGenerator, RejectsBiasedBytesAndDrawsAgainWhenShort) {
  // 247 is the last accepted byte (index 30, "9"); 248 and above are skipped, so a second pass is needed.
  int passes = 0;
  auto source = [&](std::size_t count) {
    ++passes;
    Bytes out(count, 248);
    if (passes == 2) out[0] = 247, out[1] = 31;
    return out;
  };
  EXPECT_EQ(PasswordGenerator::make(2, source), "9a");
  EXPECT_EQ(passes, 2);
}

TEST(PasswordGenerator, EmptyLengthDrawsNothing) {
  auto source = [](std::size_t) -> Bytes {
    ADD_FAILURE() << "no random bytes should be drawn";
    return {};
  };
  EXPECT_EQ(PasswordGenerator::make(0, source), "");
  EXPECT_EQ(PasswordGenerator::make(-3, source), "");
}

}  // namespace
}  // namespace pellora
