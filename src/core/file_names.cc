#include "core/file_names.h"

#include <utf8proc.h>

#include "core/peer_text.h"

namespace pellora::FileNames {

std::optional<std::string> sanitize(std::string_view name) {
  if (name.find_first_of("/\\") != std::string_view::npos || name.find("..") != std::string_view::npos) {
    return std::nullopt;  // also covers "." and ".." (the latter contains "..", the former starts with a dot)
  }
  std::string cleaned;
  cleaned.reserve(name.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
  for (std::size_t at = 0; at < name.size();) {
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(name.size() - at), &c);
    if (length <= 0) return std::nullopt;  // not UTF-8
    // Controls go, bidirectional ones too: a right-to-left override shows "photo<RLO>gpj.exe" as
    // "photoexe.jpg".
    if (!PeerText::isControl(static_cast<char32_t>(c)) && c != ':')
      cleaned.append(name.substr(at, static_cast<std::size_t>(length)));
    at += static_cast<std::size_t>(length);
  }
  const auto first = cleaned.find_first_not_of(" \t");
  if (first == std::string::npos) return std::nullopt;
  cleaned = cleaned.substr(first, cleaned.find_last_not_of(" \t") - first + 1);
  if (cleaned.front() == '.' || cleaned.size() >= 256) return std::nullopt;
  return cleaned;
}

std::string numbered(std::string_view name, std::uint64_t n) {
  if (n <= 1) return std::string(name);
  // The extension is what follows the last dot, unless that dot begins or ends the name.
  const auto dot = name.rfind('.');
  const bool hasExtension = dot != std::string_view::npos && dot > 0 && dot + 1 < name.size();
  const std::string_view base = hasExtension ? name.substr(0, dot) : name;
  std::string result = std::string(base) + " (" + std::to_string(n) + ")";
  if (hasExtension) result += name.substr(dot);
  return result;
}

}  // namespace pellora::FileNames
