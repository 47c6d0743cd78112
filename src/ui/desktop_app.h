#pragma once

// The desktop app's entry: `pellora` without arguments, and `pellora connect TARGET` without --headless.

#include <filesystem>
#include <optional>
#include <vector>
#include <string>

#include "core/quality.h"
#include "support/settings_file.h"
#include "viewer/viewer_target.h"

namespace pellora::ui {

struct DesktopOptions {
  std::string computerName;  // sent in our hellos and announced on the local network: the host name

  // Open just this session's window (no tray, no main window); the app ends with the window.
  std::optional<ViewerTarget> connectTarget;
  std::optional<std::string> connectPassword;  // asked in a dialog when missing
  // The command line's overrides for that session, written to `settingsFile` (a copy for this run).
  std::optional<std::string> relayURL;
  std::optional<Quality> quality;
  std::vector<std::filesystem::path> send;  // offered to the host once connected
  SettingsFile* settingsFile = nullptr;  // default: the user's settings file
};

// Runs the app until the user quits it; returns the exit status.
int runDesktopApp(int argc, char** argv, const DesktopOptions& options);

}  // namespace pellora::ui
