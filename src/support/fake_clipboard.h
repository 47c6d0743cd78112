#pragma once

#include <mutex>

#include "support/clipboard.h"

namespace pellora {

// A clipboard in memory for tests: `copy` plays another program copying something (nothing: content
// that is not text), `writeText` is what we put there. Thread-safe, like the real ones.
class FakeClipboard : public Clipboard {
 public:
  void copy(std::optional<std::string> text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
    ++count_;
  }
  std::optional<std::string> text() {
    std::lock_guard lock(mutex_);
    return text_;
  }

  std::uint64_t changeCount() override {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::optional<std::string> readText() override { return text(); }
  std::uint64_t writeText(const std::string& text) override {
    std::lock_guard lock(mutex_);
    text_ = text;
    return ++count_;
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> text_;
  std::uint64_t count_ = 0;
};

}  // namespace pellora
