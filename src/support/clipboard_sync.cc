#include "support/clipboard_sync.h"

#include <boost/asio/post.hpp>

namespace pellora {

std::shared_ptr<ClipboardSync> ClipboardSync::make(Strand strand, std::shared_ptr<Clipboard> clipboard) {
  return std::shared_ptr<ClipboardSync>(new ClipboardSync(std::move(strand), std::move(clipboard)));
}

ClipboardSync::ClipboardSync(Strand strand, std::shared_ptr<Clipboard> clipboard)
    : strand_(std::move(strand)), clipboard_(std::move(clipboard)), changeCount_(clipboard_->changeCount()) {}

void ClipboardSync::start() {
  stop();
  changeCount_ = clipboard_->changeCount();
  timer_ = std::make_unique<boost::asio::steady_timer>(strand_);
  schedule();
}

void ClipboardSync::stop() {
  if (timer_) timer_->cancel();
  timer_.reset();
}

void ClipboardSync::writeFromPeer(const std::string& text) { changeCount_ = clipboard_->writeText(text); }

void ClipboardSync::poll() {
  const std::uint64_t count = clipboard_->changeCount();
  if (count == changeCount_) return;
  changeCount_ = count;
  auto text = clipboard_->readText();
  if (!text || text->empty() || text->size() > maxText) return;
  if (onLocalChange) onLocalChange(*text);
}

void ClipboardSync::schedule() {
  timer_->expires_after(pollInterval);
  // The timer belongs to this start: a stop or a new start replaces it, and the old wait ends cancelled.
  timer_->async_wait([weak = weak_from_this(), timer = timer_.get()](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (ec || !self || self->timer_.get() != timer) return;
    self->poll();
    if (self->timer_.get() == timer) self->schedule();
  });
}

}  // namespace pellora
