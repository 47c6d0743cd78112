#pragma once

#include <filesystem>

namespace pellora::FileNames {

// Where received files are saved: the XDG download folder + "Pellora" (created by the receiver on first use).
std::filesystem::path defaultDirectory();

}  // namespace pellora::FileNames
