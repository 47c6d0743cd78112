#pragma once

// Terminal lines about what changed in a session's chat and transfer lists, shared by `pellora host` and
// `pellora connect`. Plain functions of two published lists.

#include <string>
#include <vector>

#include "core/chat_line.h"
#include "core/transfer_progress.h"

namespace pellora::cli {

// One line for every chat line from the peer that `now` has and `before` had not.
std::vector<std::string> chatLines(const ChatHistory& before, const ChatHistory& now);

// One line for every transfer that appeared, changed state, or moved on by a tenth of its size.
std::vector<std::string> transferLines(const TransferHistory& before, const TransferHistory& now);

}  // namespace pellora::cli
