#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pellora {

// A thread that destroys what it is handed, one object at a time in the order handed over. For objects whose
// destructor waits (joins a thread of their own, tears a decoder down) and whose last owner may let go on
// the network thread: there they are handed here instead (NetworkThread::retiring). Owned by NetworkThread,
// which drains it after joining the network thread and before its io_context goes, because what is retired
// may still hold executors of that context (a strand copy inside a callback). Thread-safe.
class RetireQueue {
 public:
  using Retired = std::unique_ptr<void, void (*)(void*)>;

  explicit RetireQueue(std::string label);
  ~RetireQueue();  // drains
  RetireQueue(const RetireQueue&) = delete;
  RetireQueue& operator=(const RetireQueue&) = delete;

  // Destroys `object` on the queue's thread; once `drain()` has begun, right here on the caller's.
  void retire(Retired object);

  // Destroys everything handed over before and joins the thread. Idempotent. Not from a destructor run here.
  void drain();

 private:
  void run();

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Retired> pending_;
  bool draining_ = false;
  std::string label_;
  std::thread thread_;  // last: starts once the state above exists
};

}  // namespace pellora
