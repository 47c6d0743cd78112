#include "core/chat_line.h"

#include <utf8proc.h>

#include "core/message.h"

namespace pellora {

namespace {

// White space and line breaks: the ASCII ones, U+0085, and Unicode's space, line and paragraph separators.
bool isBlank(utf8proc_int32_t c) {
  if (c == ' ' || (c >= '\t' && c <= '\r') || c == 0x85) return true;
  const auto category = utf8proc_category(c);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP;
}

// The code point starting at `at`, or -1 when the bytes there are not UTF-8.
utf8proc_int32_t codePointAt(std::string_view s, std::size_t at, std::size_t end, std::size_t* length) {
  utf8proc_int32_t c = -1;
  const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + at),
                                  static_cast<utf8proc_ssize_t>(end - at), &c);
  *length = n > 0 ? static_cast<std::size_t>(n) : 1;
  return n > 0 ? c : -1;
}

std::string_view trimmed(std::string_view s) {
  std::size_t begin = 0, end = s.size(), length = 0;
  while (begin < end && isBlank(codePointAt(s, begin, end, &length))) begin += length;
  while (end > begin) {
    std::size_t last = end - 1;
    while (last > begin && (static_cast<unsigned char>(s[last]) & 0xC0) == 0x80) --last;
    if (!isBlank(codePointAt(s, last, end, &length)) || last + length != end) break;
    end = last;
  }
  return s.substr(begin, end - begin);
}

// At most `limit` bytes, cut before a character rather than inside one.
std::string_view truncated(std::string_view s, std::size_t limit) {
  if (s.size() <= limit) return s;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut);
}

}  // namespace

std::string ChatLine::prepare(std::string_view typed) {
  return std::string(trimmed(truncated(trimmed(typed), MessageLimits::text)));
}

}  // namespace pellora
