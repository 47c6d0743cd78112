#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace pellora::PasswordGenerator {

// Lower-case letters without i, l and o; digits without 0 and 1: nothing a reader can confuse.
inline constexpr std::string_view alphabet = "abcdefghjkmnpqrstuvwxyz23456789";

using RandomSource = std::function<Bytes(std::size_t count)>;

// `length` characters, each uniform over the alphabet (rejection sampling over system random bytes).
std::string make(int length);
// The same with an explicit random source, for tests.
std::string make(int length, const RandomSource& random);

}  // namespace pellora::PasswordGenerator
