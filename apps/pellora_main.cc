// pellora: the desktop app without arguments (or `connect TARGET` without --headless), and the command
// line: `pellora host` and `pellora connect --headless`.

#include <cstdlib>
#include <iostream>

#include "base/allocator_tuning.h"
#include "cli/command_line.h"
#include "cli/connect_command.h"
#include "cli/environment.h"
#include "support/network_info.h"
#include "cli/host_command.h"
#include "cli/run_settings.h"
#include "ui/desktop_app.h"

namespace {

// Qt aborts with a misleading text when it finds no display (over SSH, say): say what is wrong instead.
bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* value = std::getenv(name); value && *value) return true;
  std::cerr << "pellora: no display for the desktop app (DISPLAY is not set); without one, use "
               "`pellora host` or `pellora connect TARGET --headless`\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  pellora::tuneAllocatorForStreaming();
  using namespace pellora::cli;
  const ParsedCommandLine parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  try {
    const bool desktop = std::holds_alternative<DesktopCommand>(parsed.command) ||
                         (std::holds_alternative<ConnectCommand>(parsed.command) &&
                          !std::get<ConnectCommand>(parsed.command).headless);
    if (desktop && !hasDisplay()) return 1;
    if (std::holds_alternative<DesktopCommand>(parsed.command)) {
      pellora::ui::DesktopOptions options;
      options.computerName = pellora::NetworkInfo::computerName();
      return pellora::ui::runDesktopApp(argc, argv, options);
    }
    if (auto* host = std::get_if<HostCommand>(&parsed.command)) return runHost(*host);
    if (auto* connect = std::get_if<ConnectCommand>(&parsed.command)) {
      if (connect->headless) return runConnect(*connect);
      // Options of this run go to a copy of the settings, never to the user's own file.
      RunSettings runSettings;
      pellora::ui::DesktopOptions options;
      options.computerName = pellora::NetworkInfo::computerName();
      options.connectTarget = connect->target;
      options.connectPassword = connect->password ? connect->password : passwordFromEnvironment();
      options.relayURL = connect->relayURL;
      options.quality = connect->quality;
      options.send = connect->send;
      options.settingsFile = &runSettings.file();
      return pellora::ui::runDesktopApp(argc, argv, options);
    }
  } catch (const std::exception& e) {
    std::cerr << "pellora: " << e.what() << "\n";
    return 1;
  }
  (parsed.exitCode == 0 ? std::cout : std::cerr) << parsed.text;
  return parsed.exitCode;
}
