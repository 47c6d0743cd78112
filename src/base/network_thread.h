#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <memory>
#include <optional>
#include <thread>

#include "base/retire_queue.h"

namespace pellora {

// The network io_context and the one thread that runs it. Every connection (its wire strand), every timer
// of a session and the main strand run here. Owned by the application (or a test); `stop()` — also run by
// the destructor — stops the context, joins the thread, then destroys what was retired (`retiring`);
// handlers still queued then never run and are destroyed with the context.
class NetworkThread {
 public:
  using Executor = boost::asio::io_context::executor_type;
  using Strand = boost::asio::strand<Executor>;

  NetworkThread();
  ~NetworkThread();
  NetworkThread(const NetworkThread&) = delete;
  NetworkThread& operator=(const NetworkThread&) = delete;

  boost::asio::io_context& context() { return context_; }
  Executor executor() { return context_.get_executor(); }
  // The main strand: every observable model object lives on it. It is not the GUI thread.
  Strand& mainStrand() { return mainStrand_; }
  bool isCurrentThread() const { return std::this_thread::get_id() == id_; }

  // Shares `object` so that when its last owner lets go on the network thread, it is destroyed on the
  // "pellora.retire" thread instead: for objects whose destructor waits (joins a thread of their own).
  // Anywhere else it is destroyed at once, as usual. Whatever is retired is gone when `stop()` returns.
  template <typename T>
  std::shared_ptr<T> retiring(std::unique_ptr<T> object) {
    return std::shared_ptr<T>(object.release(), [retire = retire_, network = id_](T* p) {
      RetireQueue::Retired owned(p, [](void* q) { delete static_cast<T*>(q); });
      if (std::this_thread::get_id() == network) retire->retire(std::move(owned));
    });
  }

  // Idempotent. Must not be called from the network thread itself.
  void stop();

 private:
  boost::asio::io_context context_{1};
  std::optional<boost::asio::executor_work_guard<Executor>> work_;
  Strand mainStrand_;
  // After the context: drained by stop() and gone before the context, because what it holds may keep the
  // context's executors. Shared with the deleters of `retiring`, which may outlive this object.
  std::shared_ptr<RetireQueue> retire_ = std::make_shared<RetireQueue>("pellora.retire");
  std::thread thread_;
  std::thread::id id_;
};

}  // namespace pellora
