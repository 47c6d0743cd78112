#include "base/network_thread.h"

#include <cassert>

#include "base/stall_detector.h"
#include "base/thread_name.h"

namespace pellora {

NetworkThread::NetworkThread() : work_(context_.get_executor()), mainStrand_(context_.get_executor()) {
  thread_ = std::thread([this] {
    setCurrentThreadName("pellora.net");
    StallDetector::WatchCurrentThread watch;
    context_.run();
  });
  id_ = thread_.get_id();
}

NetworkThread::~NetworkThread() { stop(); }

void NetworkThread::stop() {
  assert(!isCurrentThread());
  work_.reset();
  context_.stop();
  if (thread_.joinable()) thread_.join();
  retire_->drain();  // nothing runs on the network thread any more: all that was retired is queued
}

}  // namespace pellora
