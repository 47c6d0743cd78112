#include "cli/session_lines.h"

#include <algorithm>
#include <set>

namespace pellora::cli {

namespace {

const TransferProgress* find(const std::vector<TransferProgress>& list, const TransferProgress& t) {
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

std::vector<std::string> chatLines(const std::vector<ChatLine>& before, const std::vector<ChatLine>& now) {
  std::set<std::string> seen;
  for (const auto& line : before) seen.insert(line.id);
  std::vector<std::string> lines;
  for (const auto& line : now)
    if (!line.fromMe && !seen.contains(line.id)) lines.push_back("Chat: " + line.text);
  return lines;
}

std::vector<std::string> transferLines(const std::vector<TransferProgress>& before,
                                       const std::vector<TransferProgress>& now) {
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
