#include "core/relay_protocol.h"

#include <utf8proc.h>

#include <boost/json.hpp>
#include <cctype>
#include <charconv>
#include <vector>

namespace pellora {

namespace RelayProtocol {

namespace {

std::string_view text(ByteView bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

std::string_view trimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// A decimal number filling the whole of `s` (an optional sign allowed), else 0.
std::int64_t decimal(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() ? value : 0;
}

// Unicode white space: the ASCII controls, NEL, and the space, line and paragraph separators.
bool isWhitespace(utf8proc_int32_t cp) {
  if (cp == ' ' || (cp >= '\t' && cp <= '\r') || cp == 0x85) return true;
  const auto category = utf8proc_category(cp);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP;
}

}  // namespace

std::string upgradeRequest(std::string_view path, std::string_view host,
                           const std::map<std::string, std::string>& headers) {
  std::string r;
  r.append("GET ").append(path).append(" HTTP/1.1\r\n");
  r.append("Host: ").append(host).append("\r\n");
  r.append("Connection: Upgrade\r\n");
  r.append("Upgrade: ").append(upgradeToken).append("\r\n");
  r.append("User-Agent: Pellora-mac/1\r\n");
  for (const auto& [name, value] : headers) r.append(name).append(": ").append(value).append("\r\n");  // sorted
  r.append("\r\n");
  return r;
}

Head parseHead(ByteView bytes) {
  // Only ASCII matters here (digits, separators, header names), so bytes that are not UTF-8 can stay as
  // they are instead of being replaced.
  std::string_view head = text(bytes);
  Head result;
  bool first = true;
  while (!head.empty()) {
    auto end = head.find("\r\n");
    std::string_view line = head.substr(0, end);
    head = end == std::string_view::npos ? std::string_view{} : head.substr(end + 2);
    if (first) {
      first = false;
      // The second space-separated piece, empty pieces dropped.
      std::vector<std::string_view> pieces;
      for (std::size_t i = 0; i < line.size();) {
        auto next = line.find(' ', i);
        if (next == std::string_view::npos) next = line.size();
        if (next > i) pieces.push_back(line.substr(i, next - i));
        i = next + 1;
      }
      if (pieces.size() >= 2) {
        std::int64_t status = decimal(pieces[1]);
        result.status = status >= INT32_MIN && status <= INT32_MAX ? static_cast<int>(status) : 0;
      }
      continue;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "content-length") result.contentLength = decimal(trimSpaces(line.substr(colon + 1)));
  }
  return result;
}

std::string errorCode(ByteView body) {
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(text(body), ec);
  if (ec || !v.is_object()) return "unknown";
  const auto* error = v.as_object().if_contains("error");
  if (!error || !error->is_string()) return "unknown";
  return std::string(error->as_string());
}

bool isRelayID(std::string_view text) {
  int digits = 0;
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t cp = 0;
    const utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) return false;
    p += n;
    left -= n;
    if (isWhitespace(cp)) continue;
    if (cp < '0' || cp > '9') return false;  // digits of other scripts do not count
    ++digits;
  }
  return digits == 9;
}

std::string digitsOf(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c >= '0' && c <= '9') out.push_back(c);
  return out;
}

}  // namespace RelayProtocol

namespace RelayControl {

Event parse(ByteView line) {
  boost::system::error_code ec;
  boost::json::value v =
      boost::json::parse(std::string_view(reinterpret_cast<const char*>(line.data()), line.size()), ec);
  if (ec || !v.is_object()) return {};
  const auto& o = v.as_object();
  const auto* t = o.if_contains("t");
  if (!t || !t->is_string()) return {};
  if (t->as_string() == "incoming") {
    const auto* token = o.if_contains("token");
    if (!token || !token->is_string()) return {};
    return {Event::Kind::incoming, std::string(token->as_string())};
  }
  if (t->as_string() == "pong") return {Event::Kind::pong, {}};
  if (t->as_string() == "replaced") return {Event::Kind::replaced, {}};
  return {};
}

}  // namespace RelayControl

}  // namespace pellora
