#include "cli/session_lines.h"

#include <algorithm>

namespace pellora::cli {

namespace {

const TransferProgress* find(const TransferHistory& list, const TransferProgress& t) {
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const TransferProgress& o) { return o.id == t.id && o.direction == t.direction; });
  return it == list.end() ? nullptr : &*it;
}

int tenths(const TransferProgress& t) { return static_cast<int>(t.fraction() * 10); }

std::string describe(const TransferProgress& t) {
  const bool sending = t.direction == TransferProgress::Direction::sending;
  const std::string what = std::string(sending ? "Sending " : "Receiving ") + t.name;
  if (std::holds_alternative<TransferProgress::Waiting>(t.state)) return what + ": waiting";
  if (auto* done = std::get_if<TransferProgress::Done>(&t.state))
    return (sending ? "Sent " : "Received ") + t.name + (done->file ? " -> " + done->file->string() : std::string());
  if (auto* failed = std::get_if<TransferProgress::Failed>(&t.state)) return what + " failed: " + failed->text;
  return what + ": " + std::to_string(tenths(t) * 10) + "% (" + std::to_string(t.done) + " of " +
         std::to_string(t.total) + " bytes)";
}

}  // namespace

std::vector<std::string> chatLines(const ChatHistory& before, const ChatHistory& now) {
  // Lines only arrive at the end (the oldest may fall out of the front): the new ones follow the line that
  // was newest before.
  std::size_t first = 0;
  if (!before.empty()) {
    const std::string& newest = before.back().id;
    if (auto at = now.findLast([&](const ChatLine& line) { return line.id == newest; })) first = *at + 1;
  }
  std::vector<std::string> lines;
  for (std::size_t i = first; i < now.size(); ++i)
    if (!now[i].fromMe) lines.push_back("Chat: " + now[i].text);
  return lines;
}

std::vector<std::string> transferLines(const TransferHistory& before, const TransferHistory& now) {
  std::vector<std::string> lines;
  for (const auto& t : now) {
    const TransferProgress* old = find(before, t);
    const bool news = !old || old->state.index() != t.state.index() ||
                      (std::holds_alternative<TransferProgress::Running>(t.state) && tenths(*old) != tenths(t)) ||
                      (old->isFinished() && *old != t);
    if (news) lines.push_back(describe(t));
  }
  return lines;
}

}  // namespace pellora::cli
