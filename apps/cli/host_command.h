#pragma once

#include "cli/command_line.h"

namespace pellora::cli {

// Runs `pellora host`: shares until SIGINT or SIGTERM, then stops as the host service's stop() does.
// Returns the exit status.
int runHost(const HostCommand& command);

}  // namespace pellora::cli
