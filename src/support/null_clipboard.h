#pragma once

#include "support/clipboard.h"

namespace pellora {

// A clipboard that never holds anything and forgets what is written: the clipboard of a host without a
// display (the synthetic source), of the headless viewer and of a desktop without an X server to hold it. Thread-safe: it has no state.
class NullClipboard final : public Clipboard {
 public:
  std::uint64_t changeCount() override { return 0; }
  std::optional<std::string> readText() override { return std::nullopt; }
  std::uint64_t writeText(const std::string&) override { return 0; }
};

}  // namespace pellora
