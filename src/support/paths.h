#pragma once

// Where Pellora keeps its files, following the XDG base directory rules.

#include <filesystem>

namespace pellora::Paths {

std::filesystem::path home();
// $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path configHome();
// $XDG_DATA_HOME, else ~/.local/share
std::filesystem::path dataHome();
// XDG_DOWNLOAD_DIR from ~/.config/user-dirs.dirs ("$HOME/..." expanded), else ~/Downloads
std::filesystem::path downloadDir();

}  // namespace pellora::Paths
