#pragma once

// The byte-level parts of talking to a relay: request heads, response heads, error bodies and the host
// control lines. Pure functions, so that every one of them can be tested and fuzzed on its own.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace pellora {

namespace RelayProtocol {

inline constexpr std::string_view upgradeToken = "pellora-relay/1";
inline constexpr std::size_t maxHead = 16'384;     // response heads and control lines
inline constexpr std::size_t maxErrorBody = 4'096;
inline constexpr std::string_view connectPath = "/v1/connect";
inline constexpr std::string_view acceptPath = "/v1/accept";
inline constexpr std::string_view hostPath = "/v1/host";
inline constexpr std::string_view idHeader = "X-Pellora-Id";
inline constexpr std::string_view tokenHeader = "X-Pellora-Token";
inline constexpr std::string_view secretHeader = "X-Pellora-Secret";

struct Head {
  int status = 0;
  std::int64_t contentLength = 0;
  bool operator==(const Head&) const = default;
};

// The upgrade request: request line, Host (the host only), Connection, Upgrade, User-Agent, then `headers`
// in ascending order of their names, then the empty line.
std::string upgradeRequest(std::string_view path, std::string_view host,
                           const std::map<std::string, std::string>& headers);
// Status from the first line's second word (0 when missing or not a number); Content-Length (0 when absent
// or unreadable). Invalid UTF-8 is tolerated.
Head parseHead(ByteView head);
// The "error" string of a JSON object body, else "unknown".
std::string errorCode(ByteView body);
// True when `text` without its whitespace is exactly nine ASCII digits.
bool isRelayID(std::string_view text);
// Only the ASCII digits of `text` ("123 456 789" -> "123456789").
std::string digitsOf(std::string_view text);

}  // namespace RelayProtocol

// Lines on a host's control connection: JSON objects, one per line.
namespace RelayControl {

struct Event {
  enum class Kind { incoming, pong, replaced, other };
  Kind kind = Kind::other;
  std::string token;  // for `incoming`
  bool operator==(const Event&) const = default;
};

inline constexpr std::string_view ping = "{\"t\":\"ping\"}\n";

Event parse(ByteView line);

}  // namespace RelayControl

}  // namespace pellora
