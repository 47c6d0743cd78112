#include "base/serial_queue.h"

#include <cassert>

#include "base/thread_name.h"

namespace pellora {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), work_(context_.get_executor()) {
  thread_ = std::thread([this] {
    setCurrentThreadName(label_);
    context_.run();
  });
  id_ = thread_.get_id();
}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::stop() {
  assert(!isCurrentThread());
  work_.reset();
  context_.stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace pellora
