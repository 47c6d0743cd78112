#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The limits and naming rules both ends of a file transfer share. (The default download folder lives with
// the XDG paths: support/file_names_directory.h.)
namespace pellora::FileNames {

// 8 GiB: the largest file either side sends or accepts; exactly this size is allowed.
inline constexpr std::uint64_t maxSize = 8'589'934'592;

// The name a received file may be saved under, or nullopt when it must be refused: UTF-8, no slash,
// backslash or "..", control characters (C0, DEL, C1, bidirectional and format controls; PeerText) and ':'
// removed, blanks trimmed, not empty, not hidden, under 256 bytes.
std::optional<std::string> sanitize(std::string_view name);

// `name` for n = 1, else "base (n).ext" (or "base (n)" without an extension).
std::string numbered(std::string_view name, std::uint64_t n);

// The highest n a received file's name is numbered with: past "base (9999).ext" the file is not saved.
// Bounds the search for a free name however many files of that name a peer has already left.
inline constexpr std::uint64_t maxNumbered = 9'999;

}  // namespace pellora::FileNames
