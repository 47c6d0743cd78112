#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "base/history.h"

namespace pellora {

// One report about one file transfer, as the transfer lists show it. A plain value; sessions identify a
// transfer by `id` together with `direction`.
struct TransferProgress {
  enum class Direction { sending, receiving };

  // Queued, or offered and not yet answered.
  struct Waiting {
    bool operator==(const Waiting&) const = default;
  };
  struct Running {
    bool operator==(const Running&) const = default;
  };
  // `file` is where the receiver saved it; the sender has none.
  struct Done {
    std::optional<std::filesystem::path> file;
    bool operator==(const Done&) const = default;
  };
  struct Failed {
    std::string text;
    bool operator==(const Failed&) const = default;
  };
  using State = std::variant<Waiting, Running, Done, Failed>;

  std::uint32_t id = 0;
  Direction direction = Direction::sending;
  std::string name;  // sender: the file's last path component; receiver: the sanitised name
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  State state = Waiting{};

  double fraction() const { return total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total); }
  bool isFinished() const { return std::holds_alternative<Done>(state) || std::holds_alternative<Failed>(state); }

  bool operator==(const TransferProgress&) const = default;
};

// A session's transfers as the lists show them: the most recent ones.
using TransferHistory = History<TransferProgress, 200>;

// Puts `progress` in place of the earlier report of its transfer, or at the end for a new transfer.
inline void record(TransferHistory& history, const TransferProgress& progress) {
  const auto same = history.findLast(
      [&](const TransferProgress& t) { return t.id == progress.id && t.direction == progress.direction; });
  if (same)
    history.replace(*same, progress);
  else
    history.push_back(progress);
}

}  // namespace pellora
