#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "base/history.h"

namespace pellora {

// One chat line of a session, shown in the chat panels of both sides. A value.
struct ChatLine {
  std::string id;       // UUID
  bool fromMe = false;  // typed on this computer
  std::string text;
  std::chrono::system_clock::time_point at;
  bool operator==(const ChatLine&) const = default;

  // What is sent for a typed line: white space and line breaks (Unicode's too) trimmed from both ends,
  // and cut before a character to the message's text limit, since a longer line would end the session at
  // the peer. Empty: nothing to send.
  static std::string prepare(std::string_view typed);
};

// A session's chat as the panels show it: the newest lines, enough to scroll back through by hand.
using ChatHistory = History<ChatLine, 500>;

// The id of the newest line from the peer, empty if none: a change means a line arrived (counting lines
// cannot tell once the oldest ones fall out).
inline std::string newestFromPeer(const ChatHistory& chat) {
  const auto at = chat.findLast([](const ChatLine& line) { return !line.fromMe; });
  return at ? chat[*at].id : std::string();
}

}  // namespace pellora
