#pragma once

#include <string_view>

namespace pellora {

// Names the calling thread for debuggers and `top -H` (the kernel keeps the first 15 bytes).
void setCurrentThreadName(std::string_view name);

}  // namespace pellora
