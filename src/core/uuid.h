#pragma once

#include <string>

namespace pellora::UUID {

// A random (version 4) UUID in its usual lower-case text form, e.g. "3f2b8c1e-9a4d-4c7e-8f01-2b3c4d5e6f70".
std::string v4();

}  // namespace pellora::UUID
