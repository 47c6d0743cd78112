#include "base/retire_queue.h"

#include "base/thread_name.h"

namespace pellora {

RetireQueue::RetireQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

RetireQueue::~RetireQueue() { drain(); }

void RetireQueue::retire(Retired object) {
  {
    std::lock_guard guard(lock_);
    if (!draining_) {
      pending_.push_back(std::move(object));
      wake_.notify_one();
      return;
    }
  }
  object.reset();  // drained already: outside the lock, a destructor may retire more
}

void RetireQueue::drain() {
  {
    std::lock_guard guard(lock_);
    draining_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

void RetireQueue::run() {
  setCurrentThreadName(label_);
  std::unique_lock guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return draining_ || !pending_.empty(); });
    if (pending_.empty()) return;  // draining, and nothing is left
    Retired next = std::move(pending_.front());
    pending_.pop_front();
    guard.unlock();
    next.reset();
    guard.lock();
  }
}

}  // namespace pellora
