#pragma once

#include "support/clipboard.h"

namespace pellora::cli {

// A clipboard that never holds anything and forgets what is written: the clipboard of a host without a
// display (the synthetic source) and of the headless viewer. Thread-safe: it has no state.
class NullClipboard final : public Clipboard {
 public:
  std::uint64_t changeCount() override { return 0; }
  std::optional<std::string> readText() override { return std::nullopt; }
  std::uint64_t writeText(const std::string&) override { return 0; }
};

}  // namespace pellora::cli
