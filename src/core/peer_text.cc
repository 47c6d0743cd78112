#include "core/peer_text.h"

#include <utf8proc.h>

#include <cstdio>

namespace pellora::PeerText {

bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

std::string forTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char escape[16];
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t at = 0;
  while (at < text.size()) {
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t length =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &c);
    if (length <= 0) {  // not UTF-8: this one byte, visibly
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(bytes[at]));
      out += escape;
      ++at;
      continue;
    }
    const auto code = static_cast<char32_t>(c);
    if (!isControl(code)) {
      out.append(text.substr(at, static_cast<std::size_t>(length)));
    } else if (code == '\n') {
      out += "\\n";
    } else if (code == '\r') {
      out += "\\r";
    } else if (code == '\t') {
      out += "\\t";
    } else {
      std::snprintf(escape, sizeof escape, code < 0x80 ? "\\x%02x" : "\\u{%04X}", static_cast<unsigned>(code));
      out += escape;
    }
    at += static_cast<std::size_t>(length);
  }
  return out;
}

}  // namespace pellora::PeerText
