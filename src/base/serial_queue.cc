#include "base/serial_queue.h"

#include <cassert>
#include <future>

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

void SerialQueue::waitUntilIdle() {
  assert(!isCurrentThread());
  std::promise<void> idle;
  auto done = idle.get_future();
  post([&idle] { idle.set_value(); });
  done.wait();
}

void SerialQueue::stop() {
  assert(!isCurrentThread());
  work_.reset();
  context_.stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace pellora
