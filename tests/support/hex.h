#pragma once

#include <string>
#include <string_view>

#include "core/bytes.h"

namespace pellora::test {

Bytes fromHex(std::string_view hex);
std::string toHex(ByteView bytes);

}  // namespace pellora::test
