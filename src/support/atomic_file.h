#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace pellora {

// Replaces `path` with `content` so that readers see either the old or the new file, never a part: the
// bytes go to a temporary file in the same folder (created with `mode`), are flushed to disk, and the
// temporary is renamed over the target. Missing folders are created (0700). Returns false on failure,
// leaving the old file untouched.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& content, mode_t mode = 0600);

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

}  // namespace pellora
