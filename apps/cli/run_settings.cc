#include "cli/run_settings.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "support/atomic_file.h"

namespace pellora::cli {

RunSettings::RunSettings(const std::filesystem::path& userFile) {
  std::string pattern = (std::filesystem::temp_directory_path() / "pellora-run-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder in " + pattern);
  folder_ = pattern;
  const auto copy = folder_ / "settings.json";
  if (auto content = readFile(userFile)) writeFileAtomically(copy, *content);
  file_ = std::make_unique<SettingsFile>(copy);
}

RunSettings::~RunSettings() {
  file_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

}  // namespace pellora::cli
