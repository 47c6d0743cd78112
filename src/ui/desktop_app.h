#pragma once

// The desktop app's entry: `pellora` without arguments, and `pellora connect TARGET` without --headless.

#include <optional>
#include <string>

#include "viewer/viewer_target.h"

namespace pellora::ui {

struct DesktopOptions {
  // Open just this session's window (no tray, no main window); the app ends with the window.
  std::optional<ViewerTarget> connectTarget;
  std::optional<std::string> connectPassword;  // asked in a dialog when missing
};

// Runs the app until the user quits it; returns the exit status.
int runDesktopApp(int argc, char** argv, const DesktopOptions& options);

}  // namespace pellora::ui
