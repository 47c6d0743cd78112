#include "support/sleep_blocker.h"

namespace pellora {

SleepBlocker::SleepBlocker(std::shared_ptr<PowerInhibitor> inhibitor) : inhibitor_(std::move(inhibitor)) {}

SleepBlocker::~SleepBlocker() { end(); }

void SleepBlocker::begin() {
  if (active_ || !inhibitor_) return;
  if (auto cookie = inhibitor_->inhibit(reason)) {
    cookie_ = *cookie;
    active_ = true;
  }
}

void SleepBlocker::end() {
  if (!active_) return;
  inhibitor_->release(cookie_);
  active_ = false;
}

}  // namespace pellora
