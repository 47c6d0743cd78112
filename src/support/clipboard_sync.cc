#include "support/clipboard_sync.h"

#include <boost/asio/post.hpp>

#include "base/process_queues.h"

namespace pellora {

std::shared_ptr<ClipboardSync> ClipboardSync::make(Strand strand, std::shared_ptr<Clipboard> clipboard) {
  return std::shared_ptr<ClipboardSync>(new ClipboardSync(std::move(strand), std::move(clipboard)));
}

ClipboardSync::ClipboardSync(Strand strand, std::shared_ptr<Clipboard> clipboard)
    : strand_(std::move(strand)), watch_(std::make_shared<Watch>()) {
  watch_->clipboard = std::move(clipboard);
}

void ClipboardSync::start() {
  stop();
  ++generation_;
  watch_->changeCount = watch_->clipboard->changeCount();  // what was copied before is never sent
  timer_ = std::make_unique<boost::asio::steady_timer>(strand_);
  schedule();
}

void ClipboardSync::stop() {
  if (timer_) timer_->cancel();
  timer_.reset();
}

void ClipboardSync::writeFromPeer(const std::string& text) {
  clipboardQueue().post([watch = watch_, text] { watch->changeCount = watch->clipboard->writeText(text); });
}

void ClipboardSync::poll() {
  if (watch_->clipboard->changeCount() == watch_->changeCount) return;  // the usual case: nothing to ask
  // Checked again there: a write from the peer queued before may account for the change.
  clipboardQueue().post([watch = watch_, weak = weak_from_this(), strand = strand_, generation = generation_] {
    const std::uint64_t count = watch->clipboard->changeCount();
    if (count == watch->changeCount) return;
    watch->changeCount = count;
    auto text = watch->clipboard->readText();
    if (!text || text->empty() || text->size() > maxText) return;
    boost::asio::post(strand, [weak, generation, text = std::move(*text)] {
      auto self = weak.lock();
      if (self && self->timer_ && self->generation_ == generation && self->onLocalChange) self->onLocalChange(text);
    });
  });
}

void ClipboardSync::waitUntilIdle() { clipboardQueue().waitUntilIdle(); }

void ClipboardSync::schedule() {
  timer_->expires_after(pollInterval);
  // The timer belongs to this start: a stop or a new start replaces it, and the old wait ends cancelled.
  timer_->async_wait([weak = weak_from_this(), timer = timer_.get()](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (ec || !self || self->timer_.get() != timer) return;
    self->poll();
    self->schedule();
  });
}

}  // namespace pellora
