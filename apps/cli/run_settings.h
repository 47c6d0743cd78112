#pragma once

#include <filesystem>
#include <memory>

#include "support/settings_file.h"

namespace pellora::cli {

// The user's settings as one run of a command sees them: a copy of the settings file in a private
// temporary folder, so that command-line options override values for this run without ever being
// written to the user's own file. The folder is removed on destruction. Used on the main thread before
// the network starts, then by AppSettings on the main strand.
class RunSettings {
 public:
  explicit RunSettings(const std::filesystem::path& userFile = SettingsFile::defaultPath());
  ~RunSettings();
  RunSettings(const RunSettings&) = delete;
  RunSettings& operator=(const RunSettings&) = delete;

  SettingsFile& file() { return *file_; }
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<SettingsFile> file_;
};

}  // namespace pellora::cli
