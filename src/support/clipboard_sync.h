#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "support/clipboard.h"

namespace pellora {

// Watches the local clipboard during a session and reports new text once a second. Lives on the main
// strand (`start`, `stop`, the poll and `onLocalChange` all run there). Owned by the session's side
// (the host service, a viewer session); the clipboard is shared and outlives it.
class ClipboardSync : public std::enable_shared_from_this<ClipboardSync> {
 public:
  using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
  static constexpr std::chrono::seconds pollInterval{1};
  static constexpr std::size_t maxText = 1'048'576;  // UTF-8 bytes; longer texts are not sent

  static std::shared_ptr<ClipboardSync> make(Strand strand, std::shared_ptr<Clipboard> clipboard);

  // Remembers the current change count (what was copied before is never sent) and polls every second.
  // Starting again replaces the timer.
  void start();
  void stop();

  // Puts text from the peer on the clipboard and remembers the resulting change count, so that the next
  // poll does not send it back.
  void writeFromPeer(const std::string& text);

  std::uint64_t changeCount() const { return changeCount_; }
  // Runs one poll now (what the timer does every second).
  void poll();

  // Non-empty text of at most maxText bytes copied locally since the last poll.
  std::function<void(const std::string&)> onLocalChange;

 private:
  ClipboardSync(Strand strand, std::shared_ptr<Clipboard> clipboard);
  void schedule();

  Strand strand_;
  std::shared_ptr<Clipboard> clipboard_;
  std::uint64_t changeCount_;
  std::unique_ptr<boost::asio::steady_timer> timer_;
};

}  // namespace pellora
