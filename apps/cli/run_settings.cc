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
  // A change this process made to the user's file may still be on its way to the disk; a settings object's
  // destructor waits until it is there.
  { const SettingsFile flushed(userFile); }
  if (auto content = readFile(userFile)) writeFileAtomically(copy, *content);
  file_ = std::make_unique<SettingsFile>(copy);
}

RunSettings::~RunSettings() {
  file_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

}  // namespace pellora::cli
