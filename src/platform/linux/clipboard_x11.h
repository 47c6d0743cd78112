#pragma once

#include <memory>
#include <string>

#include "support/clipboard.h"

namespace pellora {

// The X11 CLIPBOARD selection as text. A thread of its own with its own X connection and a small hidden
// window does all the X work: it counts ownership changes reported by XFixes, serves our text to other
// programs while we own the selection (INCR for large texts), and performs the reads and writes the
// other threads queue (one at a time, each answered once done). Shared by whoever syncs the clipboard
// (the host service, viewer sessions); the public calls may come from any thread and block until the
// X server answered, or until a bounded wait for a clipboard owner ends.
class ClipboardX11 final : public Clipboard {
 public:
  // `xDisplay` names the X server (":1"); empty means $DISPLAY. Throws TransportError::connectFailed when
  // no X server with XFIXES answers.
  explicit ClipboardX11(std::string xDisplay = {});
  ~ClipboardX11() override;

  std::uint64_t changeCount() override;
  // Nothing when the owner offers no text (or text that is not valid UTF-8), answers too late, or the text
  // is larger than 64 MiB. Latin-1 text (the STRING target of older programs) comes back as UTF-8.
  std::optional<std::string> readText() override;
  std::uint64_t writeText(const std::string& text) override;

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
};

}  // namespace pellora
