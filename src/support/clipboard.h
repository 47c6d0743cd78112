#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace pellora {

// The desktop's clipboard as text. X11: the CLIPBOARD selection (platform/linux); the desktop app may
// put QClipboard behind it. Every call may come from any thread; `changeCount` rises whenever another
// program (or we) took the clipboard, so a watcher can tell that something new was copied.
class Clipboard {
 public:
  virtual ~Clipboard() = default;

  // Never waits for another program (the sessions ask it on the network thread); reading and writing may.
  virtual std::uint64_t changeCount() = 0;
  // The current clipboard content as UTF-8 text; nothing when it holds no text or cannot be read.
  virtual std::optional<std::string> readText() = 0;
  // Takes the clipboard and serves `text` to every program that asks. Returns the change count that
  // this write produced, so the caller can store it and not send the text back.
  virtual std::uint64_t writeText(const std::string& text) = 0;
};

}  // namespace pellora
