#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/clipboard.h"

namespace pellora {

class WaylandDesktop;

// A Wayland compositor's clipboard as text, through the remote-desktop session of the running capture
// (see WaylandDesktop): it listens to every session the capturers publish, counts the compositor's owner
// changes, reads what other programs offer through the session's pipes and serves the text it was given
// while it owns the clipboard. Without a running session, or where the compositor does not share its
// clipboard, it holds nothing and forgets what is written.
// Shared by whoever syncs the clipboard (the host service); the public calls may come from any thread
// (the main strand, in practice) and block for a bounded time. The sessions' events arrive on the capture
// thread that pumps them.
class ClipboardRemoteDesktop final : public Clipboard {
 public:
  // The longest a whole read from the clipboard's owner, or a whole paste of our text, may take.
  static constexpr std::chrono::milliseconds transferTimeout{2000};
  // How long writeText waits for the compositor to report that we own the clipboard.
  static constexpr std::chrono::milliseconds ownerTimeout{1000};

  // Takes the desktop's onPublish callback (and gives it up when destroyed).
  explicit ClipboardRemoteDesktop(std::shared_ptr<WaylandDesktop> desktop);
  ~ClipboardRemoteDesktop() override;
  ClipboardRemoteDesktop(const ClipboardRemoteDesktop&) = delete;
  ClipboardRemoteDesktop& operator=(const ClipboardRemoteDesktop&) = delete;

  std::uint64_t changeCount() override;
  // Nothing without a session that shares the clipboard, when the owner offers no text (or text that is
  // not valid UTF-8 or longer than ClipboardSync::maxText, which would not be sent anyway), or when it
  // does not deliver within transferTimeout. Our own text, while we own the clipboard, without a read.
  std::optional<std::string> readText() override;
  // Waits for the compositor's report of our ownership, so that the count returned includes it; when that
  // report is late, the count before it. Without a session that shares the clipboard: nothing happens
  // and the count stays.
  std::uint64_t writeText(const std::string& text) override;

  // Whether the last published session shares the compositor's clipboard (false before any).
  bool available() const;
  // Called on the publishing thread (a capture's start) for every session published after this call,
  // with whether it shares the clipboard.
  void setOnSession(std::function<void(bool shared)> callback);

 private:
  struct State;
  std::shared_ptr<WaylandDesktop> desktop_;
  std::shared_ptr<State> state_;
};

}  // namespace pellora
