#pragma once

#include <chrono>
#include <string>

namespace pellora {

// One chat line of a session, shown in the chat panels of both sides. A value.
struct ChatLine {
  std::string id;  // UUID
  bool fromMe = false;  // typed on this computer
  std::string text;
  std::chrono::system_clock::time_point at;
  bool operator==(const ChatLine&) const = default;
};

}  // namespace pellora
