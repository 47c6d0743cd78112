#pragma once

#include "cli/command_line.h"

namespace pellora::cli {

// Runs `pellora connect TARGET --headless`: one viewer session without a window. Returns 0 after a
// session, 1 when connecting or authenticating failed (the session's text on standard error), 2 when no
// password can be had.
int runConnect(const ConnectCommand& command);

}  // namespace pellora::cli
