#include "support/sleep_blocker.h"

#include <utility>

#include "base/process_queues.h"

namespace pellora {

SleepBlocker::SleepBlocker(std::shared_ptr<PowerInhibitor> inhibitor) : inhibitor_(std::move(inhibitor)) {}

SleepBlocker::~SleepBlocker() { end(); }

void SleepBlocker::begin() {
  if (!inhibitor_) return;
  begun_ = true;
  powerQueue().post([inhibitor = inhibitor_, held = held_] {
    if (!held->cookie) held->cookie = inhibitor->inhibit(reason);
  });
}

void SleepBlocker::end() {
  if (!std::exchange(begun_, false)) return;
  powerQueue().post([inhibitor = inhibitor_, held = held_] {
    if (held->cookie) inhibitor->release(*std::exchange(held->cookie, std::nullopt));
  });
}

}  // namespace pellora
