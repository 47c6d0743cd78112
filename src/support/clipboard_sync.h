#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "support/clipboard.h"

namespace pellora {

// Watches the local clipboard during a session and reports new text once a second. Lives on the main
// strand (`start`, `stop`, `writeFromPeer`, `poll` are called there and `onLocalChange` runs there). Reads
// and writes of the clipboard run on the process's clipboard queue, in the order asked, because an owner
// that answers slowly holds them for seconds; only the change count is read on the strand. Owned by the session's side (the host
// service, a viewer session); the clipboard is shared, and the queue's jobs keep it alive while they run.
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

  // The change count last seen or produced (on the clipboard queue, so it may lag behind the calls).
  std::uint64_t changeCount() const { return watch_->changeCount; }
  // Asks for one poll now (what the timer does every second); new text reaches `onLocalChange` later on
  // the strand, unless the sync was stopped meanwhile.
  void poll();
  // Blocks until the clipboard queue has done what was asked of it so far (tests).
  static void waitUntilIdle();

  // Non-empty text of at most maxText bytes copied locally since the last poll.
  std::function<void(const std::string&)> onLocalChange;

 private:
  ClipboardSync(Strand strand, std::shared_ptr<Clipboard> clipboard);
  void schedule();

  // What the clipboard queue's jobs use; only they touch `changeCount` but for reading it.
  struct Watch {
    std::shared_ptr<Clipboard> clipboard;
    std::atomic<std::uint64_t> changeCount{0};
  };

  Strand strand_;
  std::shared_ptr<Watch> watch_;
  std::unique_ptr<boost::asio::steady_timer> timer_;
  std::uint64_t generation_ = 0;  // one per start; reports of an earlier one are dropped
};

}  // namespace pellora
