#include "support/file_names_directory.h"

#include "support/paths.h"

namespace pellora::FileNames {

std::filesystem::path defaultDirectory() { return Paths::downloadDir() / "Pellora"; }

}  // namespace pellora::FileNames
